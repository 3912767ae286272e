// "upload" (folders, small files, dry runs) and "resume_upload" (large
// files, whole or as a patch, sent under a resume token across as many
// connections as it takes).
#include <unistd.h>

#include "base/logger.h"
#include "server/actions.h"
#include "server/patches.h"
#include "server/server_errors.h"

namespace tw_server {

namespace {

const char* const kComponent = "server";

// Files above this size travel resumably; "upload" refuses them.
constexpr uint64_t kLargestPlainUpload = 524288;

struct FileMember {
    bool refer = false;
    bool is_delta = false;
    uint64_t file_id = 0;
};

// Reads the members both upload forms share into `intent`.
bool ReadIntent(RequestContext& rc, Answer& answer, UploadIntent& intent, FileMember& file, bool& dry_run) {
    RequestFields& f = rc.fields;
    uint64_t node_id = 0, max_id = 0;
    f.Bool("is_dir", intent.is_dir);
    f.Integer("sync_id", intent.base_sync_id);
    f.Integer("max_id", max_id, false);
    f.Integer("node_id", node_id, false);
    f.Bool("dry_run", dry_run, false);
    if (!intent.is_dir) {
        f.Map("file");
        f.Integer("file.size", intent.size);
        f.String("file.hash", intent.hash);
        f.Bool("file.refer", file.refer, false);
        f.Bool("file.is_delta", file.is_delta, false);
        f.Integer("file.file_id", file.file_id, false);
        if (f.Has("file.data") && !rc.request["file"]["data"].isBinary()) f.Map("file.data.not-a-binary");
        uint64_t exec_bit = 0;
        if (f.Map("exec_bit", false) != nullptr) {
            bool refer = false;
            f.Bool("exec_bit.refer", refer, false);
            if (!refer && f.Integer("exec_bit.exec_bit", exec_bit)) {
                intent.has_exec_bit = true;
                intent.exec_bit = static_cast<uint32_t>(exec_bit);
            }
        }
    }
    if (f.Map("mtime", false) != nullptr) {
        bool refer = false;
        f.Bool("mtime.refer", refer, false);
        if (!refer && f.Integer("mtime.mtime", intent.mtime)) intent.has_mtime = true;
    }
    if (RejectMalformed(rc, answer)) return false;
    if (!intent.is_dir && !IsContentHash(intent.hash)) {
        answer.Error(kMalformedRequest, "file.hash is not 32 lower-case hexadecimal digits");
        return false;
    }
    if (!intent.is_dir && !file.refer && !dry_run && !rc.request["file"].hasMember("data")) {
        answer.Error(kMalformedRequest, "missing member \"file.data\"");
        return false;
    }
    return RequestPath(rc, answer, EventPathRoot::Refuse, intent.path);
}

// Turns what the upload sent into the content to commit: an existing blob
// (a reference), the result of a patch, or the received bytes themselves.
// The received bytes are in the file `data`, or in `bytes` (small bodies);
// `known_hash` is their MD4 when already computed.
Status PrepareContent(View& view, const UploadIntent& intent, const UploadDecision& decision, const FileMember& file,
                      const std::string& data, std::string* bytes, const std::string& known_hash, NewContent& out) {
    const bool has_base = decision.kind != UploadKind::Create && !decision.current.is_dir;
    if (file.refer) {
        if (file.file_id != 0) {
            out.file_id = file.file_id;  // Commit checks that it holds this content
            return Status::Ok();
        }
        if (!has_base) return Status::Error(SPROTO_ERR_UPLOAD_NOBASE, "an unchanged content without a base version");
        if (decision.current.hash != intent.hash || decision.current.size != intent.size) {
            return Status::Error(SPROTO_ERR_UPLOAD, "the base version has another content");
        }
        out.file_id = decision.current.file_id;
        return Status::Ok();
    }
    if (file.is_delta) {
        if (!has_base) return Status::Error(SPROTO_ERR_UPLOAD_NOBASE, "a patch without a base version");
        std::string patch = data;
        if (bytes != nullptr) {
            // The patch engine reads files.
            patch = view.store().TempPath();
            FILE* fp = fopen(patch.c_str(), "wb");
            bool ok = fp != nullptr && (bytes->empty() || fwrite(bytes->data(), 1, bytes->size(), fp) == bytes->size());
            if (fp != nullptr && fclose(fp) != 0) ok = false;
            if (!ok) {
                unlink(patch.c_str());
                return Status::Failure("cannot write " + patch);
            }
        }
        uint64_t base = decision.current.file_id;
        std::string result = view.store().TempPath(), hash;
        bool complete = false;
        int rc = -1;
        if (view.Pin(base)) {
            rc = ApplyPatch(view.store().BlobPath(base), patch, result, hash, complete);
            view.Unpin(base);
        }
        if (bytes != nullptr) unlink(patch.c_str());
        uint64_t size = 0;
        if (rc != 0 || !complete) {
            unlink(result.c_str());
            return Status::Error(SPROTO_ERR_UPLOAD, "the patch is incomplete or not a patch");
        }
        if (hash != intent.hash || !FileSize(result, size) || size != intent.size) {
            unlink(result.c_str());
            return Status::Error(SPROTO_ERR_UPLOAD, "the patched content does not have the announced size and hash");
        }
        if (view.store().Flush(result) != 0) {
            unlink(result.c_str());
            return Status::Failure("cannot flush " + result);
        }
        out.temp = result;
        return Status::Ok();
    }
    uint64_t size = 0;
    if (bytes != nullptr) {
        size = bytes->size();
    } else if (!FileSize(data, size)) {
        return Status::Failure("the received content is gone");
    }
    if (size != intent.size) {
        return Status::Error(SPROTO_ERR_UPLOAD,
                             "received " + std::to_string(size) + " of " + std::to_string(intent.size) + " bytes");
    }
    std::string hash = known_hash;
    if (hash.empty() && (bytes != nullptr || HashFile(data, hash) != 0)) {
        return Status::Failure("cannot hash the received content");
    }
    if (hash != intent.hash) return Status::Error(SPROTO_ERR_UPLOAD, "the content's hash is " + hash);
    if (bytes != nullptr) {
        out.in_memory = true;
        out.bytes = std::move(*bytes);
        return Status::Ok();
    }
    if (view.store().Flush(data) != 0) return Status::Failure("cannot flush " + data);
    out.temp = data;
    return Status::Ok();
}

void AnswerResult(Answer& answer, const UploadResult& result, const FileMember& file) {
    const Entry& e = result.entry;
    answer.body["sync_id"] = e.sync_id;
    answer.body["max_id"] = e.max_id;
    answer.body["is_dir"] = e.is_dir;
    if (!e.is_dir) {
        answer.body["file"]["refer"] = file.refer;
        answer.body["file"]["file_id"] = e.file_id;
        answer.body["file"]["size"] = e.size;
        answer.body["file"]["hash"] = ustring(e.hash);
    }
}

std::string ReceivedHash(const UploadReceipt& receipt) {
    if (!receipt.hashed || !receipt.md4) return std::string();
    uint8_t digest[Md4::DIGEST_SIZE];
    receipt.md4->final(digest);
    return Md4::toHex(digest).str();
}

}  // namespace

void HandleUpload(RequestContext& rc, Answer& answer) {
    UploadIntent intent;
    FileMember file;
    bool dry_run = false;
    if (!ReadIntent(rc, answer, intent, file, dry_run)) return;
    View* view = AuthorizeView(rc, answer, true);
    if (view == nullptr) return;
    if (rc.store_error != 0) {
        answer.Error(SPROTO_ERR_DISKFULL, "cannot store the content");
        return;
    }

    UploadDecision decision;
    if (dry_run) {
        // Tells whether the content is already held; changes nothing.
        if (answer.Failed(view->Decide(intent, decision))) return;
        uint64_t file_id = 0;
        if (!intent.is_dir && answer.Failed(view->FindContent(intent.hash, intent.size, file_id))) return;
        answer.body["file"]["file_id"] = file_id;
        return;
    }
    if (!intent.is_dir && !file.refer && intent.size > kLargestPlainUpload) {
        answer.Error(SPROTO_ERR_UPLOAD, "files above 524288 bytes go by resume_upload");
        return;
    }
    NewContent content;
    if (!intent.is_dir) {
        // Whole bytes in hand need no look-up first: Commit applies the
        // rules. A reference or a patch needs the base version.
        if ((file.refer || file.is_delta) && answer.Failed(view->Decide(intent, decision))) return;
        if (decision.kind != UploadKind::Same) {
            const bool in_memory = rc.receipt.where == UploadReceipt::Memory;
            std::string data = rc.receipt.where == UploadReceipt::Temp ? rc.receipt.path : std::string();
            if (!file.refer && data.empty() && !in_memory) {
                answer.Error(kMalformedRequest, "file.data arrived nowhere");
                return;
            }
            if (answer.Failed(PrepareContent(*view, intent, decision, file, data,
                                             in_memory ? &rc.receipt.bytes : nullptr, ReceivedHash(rc.receipt),
                                             content))) {
                return;
            }
            if (!data.empty() && content.temp == data) rc.receipt.path.clear();  // consumed by Commit
        }
    }
    UploadResult result;
    if (answer.Failed(view->Commit(intent, content, result))) return;
    TW_DEBUG(kComponent, "upload %s: sync id %llu%s\n", intent.path.c_str(),
             static_cast<unsigned long long>(result.entry.sync_id), result.changed ? "" : " (unchanged)");
    AnswerResult(answer, result, file);
}

void HandleResumeUpload(RequestContext& rc, Answer& answer) {
    UploadIntent intent;
    FileMember file;
    bool dry_run = false;
    std::string token;
    rc.fields.String("resume_token", token);
    if (!ReadIntent(rc, answer, intent, file, dry_run)) return;
    View* view = AuthorizeView(rc, answer, true);
    if (view == nullptr) return;
    if (dry_run) {
        answer.Error(kMalformedRequest, "a dry run goes by upload");
        return;
    }

    UploadReceipt& receipt = rc.receipt;
    // The token's bytes are this request's only if it reserved them.
    uint64_t token_view = 0;
    TokenRecord record;
    bool found = false;
    if (TokenView(token, token_view) && token_view == view->id() &&
        answer.Failed(view->GetToken(token, record, found))) {
        return;
    }
    if (!found || (record.kind != TokenKind::Unbound && record.kind != TokenKind::Upload) ||
        (record.kind == TokenKind::Upload && record.path != intent.path)) {
        answer.Error(SPROTO_ERR_RESUME_NOTOKEN, "not a resume token of an upload of this path");
        return;
    }
    if (record.committed) {
        // The answer to an upload that was already carried out was lost.
        UploadResult result;
        result.entry.sync_id = record.sync_id;
        result.entry.max_id = record.max_id;
        result.entry.is_dir = record.is_dir;
        result.entry.file_id = record.file_id;
        result.entry.size = record.size;
        result.entry.hash = record.hash;
        FileMember stored;
        stored.refer = record.refer;
        AnswerResult(answer, result, stored);
        return;
    }
    if (receipt.where == UploadReceipt::Part && receipt.token != token) {
        answer.Error(SPROTO_ERR_RESUME_NOTOKEN, "the body arrived under another token");
        return;
    }
    const std::string part = view->store().UploadPath(token);
    if (receipt.where != UploadReceipt::Part) {
        if (!view->TryBusy(token)) {
            answer.Error(SPROTO_ERR_RESUME, "the token is in use by another connection");
            return;
        }
        receipt.view = view;
        receipt.token = token;
        FileSize(part, receipt.held_before);
        // The body came before the token it belongs to: add it to the part.
        if (receipt.where == UploadReceipt::Temp && receipt.stored > 0) {
            uint64_t held = 0;
            if (!FileSize(part, held) && rename(receipt.path.c_str(), part.c_str()) == 0) {
                receipt.path.clear();
            } else {
                FILE* in = fopen(receipt.path.c_str(), "rb");
                FILE* out = fopen(part.c_str(), "ab");
                char buf[65536];
                size_t n = 0;
                bool ok = in && out;
                while (ok && (n = fread(buf, 1, sizeof buf, in)) > 0) ok = fwrite(buf, 1, n, out) == n;
                if (in) fclose(in);
                if (out && fclose(out) != 0) ok = false;
                if (!ok) {
                    answer.broken = true;
                    answer.reason = "cannot add the body to " + part;
                    return;
                }
            }
            receipt.hashed = false;
        }
        receipt.where = UploadReceipt::Part;
        receipt.path = part;
    }
    if (rc.store_error != 0) {
        answer.Error(SPROTO_ERR_DISKFULL, "cannot store the content");
        return;
    }
    record.kind = TokenKind::Upload;
    record.path = intent.path;

    UploadDecision decision;
    Status decided = view->Decide(intent, decision);
    if (!decided.ok()) {
        // Refused: what this request sent does not belong to the token.
        truncate(part.c_str(), static_cast<off_t>(receipt.held_before));
        receipt.settled = true;
        answer.Failed(decided);
        return;
    }
    NewContent content;
    if (!intent.is_dir && decision.kind != UploadKind::Same) {
        uint64_t held = 0;
        FileSize(part, held);
        if (!file.refer && !file.is_delta && held < intent.size) {
            // Kept: the rest may follow under the same token.
            view->PutToken(record);
            receipt.settled = true;
            answer.Error(SPROTO_ERR_UPLOAD,
                         "incomplete: " + std::to_string(held) + " of " + std::to_string(intent.size) + " bytes held");
            return;
        }
        if (!file.refer && held == 0 && !file.is_delta) {
            // An empty file: the part may not exist.
            FILE* fp = fopen(part.c_str(), "ab");
            if (fp) fclose(fp);
        }
        Status prepared = PrepareContent(*view, intent, decision, file, part, nullptr, ReceivedHash(receipt), content);
        if (!prepared.ok()) {
            // Wrong bytes are of no use to a retry: start the token afresh.
            if (!prepared.broken) truncate(part.c_str(), 0);
            receipt.settled = true;
            answer.Failed(prepared);
            return;
        }
    }
    uint64_t held = 0;
    FileSize(part, held);
    UploadResult result;
    receipt.settled = true;
    if (answer.Failed(view->Commit(intent, content, result))) return;
    unlink(part.c_str());
    record.committed = true;
    record.held = held;
    record.sync_id = result.entry.sync_id;
    record.max_id = result.entry.max_id;
    record.is_dir = result.entry.is_dir;
    record.file_id = result.entry.file_id;
    record.size = result.entry.size;
    record.hash = result.entry.hash;
    record.refer = file.refer;
    if (answer.Failed(view->PutToken(record))) return;
    TW_DEBUG(kComponent, "resume_upload %s: sync id %llu\n", intent.path.c_str(),
             static_cast<unsigned long long>(result.entry.sync_id));
    AnswerResult(answer, result, file);
}

}  // namespace tw_server
