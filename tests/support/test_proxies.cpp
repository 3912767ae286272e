// The verifying proxy recomputes every NTLM value from the credentials with
// libcrypto directly, so that it does not share a fault with the client.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "support/test_proxies.h"

#include <openssl/des.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/md4.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <cstring>

#include "net/base64.h"

namespace tidewell::testing {

namespace {

// The target of a CONNECT head when it is on loopback, else 0.
int LoopbackTargetPort(const std::string& head) {
    static const std::string kPrefix = "CONNECT 127.0.0.1:";
    if (head.compare(0, kPrefix.size(), kPrefix) != 0) return 0;
    return atoi(head.c_str() + kPrefix.size());
}

bool IsOk(const std::string& answer) {
    return answer.compare(0, 12, "HTTP/1.1 200") == 0 || answer.compare(0, 12, "HTTP/1.0 200") == 0;
}

void Tunnel(int fd, const std::string& head) {
    int port = LoopbackTargetPort(head);
    int target = port > 0 ? ConnectLoopback(port) : -1;
    if (target < 0) return;
    PipeBoth(fd, target);
    close(target);
}

std::string Upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

std::string Utf16Ascii(const std::string& s) {
    std::string out;
    for (char c : s) {
        out.push_back(c);
        out.push_back('\0');
    }
    return out;
}

uint32_t Le32(const std::string& m, size_t at) {
    return static_cast<uint8_t>(m[at]) | static_cast<uint8_t>(m[at + 1]) << 8 | static_cast<uint8_t>(m[at + 2]) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(m[at + 3])) << 24;
}

// The field of the descriptor at `at`, or false when it lies outside.
bool Field(const std::string& m, size_t at, std::string& out) {
    size_t len = static_cast<uint8_t>(m[at]) | static_cast<uint8_t>(m[at + 1]) << 8;
    size_t offset = Le32(m, at + 4);
    if (offset > m.size() || len > m.size() - offset) return false;
    out = m.substr(offset, len);
    return true;
}

std::string Md4(const std::string& data) {
    unsigned char out[16];
    MD4(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out);
    return std::string(reinterpret_cast<char*>(out), 16);
}

std::string HmacMd5(const std::string& key, const std::string& data) {
    unsigned char out[16];
    unsigned int len = 0;
    HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
         data.size(), out, &len);
    return std::string(reinterpret_cast<char*>(out), 16);
}

// DES with a 56-bit key given as 7 bytes.
std::string Des(const unsigned char* k, const std::string& block) {
    DES_cblock key = {k[0],
                      static_cast<unsigned char>(k[0] << 7 | k[1] >> 1),
                      static_cast<unsigned char>(k[1] << 6 | k[2] >> 2),
                      static_cast<unsigned char>(k[2] << 5 | k[3] >> 3),
                      static_cast<unsigned char>(k[3] << 4 | k[4] >> 4),
                      static_cast<unsigned char>(k[4] << 3 | k[5] >> 5),
                      static_cast<unsigned char>(k[5] << 2 | k[6] >> 6),
                      static_cast<unsigned char>(k[6] << 1)};
    DES_key_schedule schedule;
    DES_set_key_unchecked(&key, &schedule);
    DES_cblock in, out;
    memcpy(in, block.data(), 8);
    DES_ecb_encrypt(&in, &out, &schedule, DES_ENCRYPT);
    return std::string(reinterpret_cast<char*>(out), 8);
}

std::string V1Response(const std::string& hash16, const std::string& challenge) {
    unsigned char keys[21] = {};
    memcpy(keys, hash16.data(), 16);
    return Des(keys, challenge) + Des(keys + 7, challenge) + Des(keys + 14, challenge);
}

std::string LmHash(const std::string& password) {
    unsigned char key[14] = {};
    std::string upper = Upper(password.substr(0, 14));
    memcpy(key, upper.data(), upper.size());
    return Des(key, "KGS!@#$%") + Des(key + 7, "KGS!@#$%");
}

std::string WellFormedChallenge(const std::string& server_challenge) {
    std::string info = NtlmVerifyingProxy::TargetInfo();
    std::string m("NTLMSSP\0", 8);
    m += std::string("\x02\x00\x00\x00", 4);
    m += std::string("\x00\x00\x00\x00\x30\x00\x00\x00", 8);  // empty target name at 48
    m += std::string("\x05\x82\x08\x00", 4);                  // flags
    m += server_challenge;
    m += std::string(8, '\0');
    m.push_back(static_cast<char>(info.size()));
    m.push_back('\0');
    m.push_back(static_cast<char>(info.size()));
    m.push_back('\0');
    m += std::string("\x30\x00\x00\x00", 4);  // target information at 48
    return m + info;
}

std::string Answer407(const std::string& authenticate, bool close) {
    return "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: " + authenticate +
           "\r\nContent-Type: text/plain\r\nContent-Length: 6\r\nConnection: " + (close ? "close" : "keep-alive") +
           "\r\n\r\ndenied";
}

}  // namespace

ScriptedProxy::ScriptedProxy(Responder responder)
    : responder_(std::move(responder)), server_([this](int fd) { Serve(fd); }) {}

std::vector<ProxyRequestSeen> ScriptedProxy::Seen() const {
    std::lock_guard<std::mutex> guard(mu_);
    return seen_;
}

bool ScriptedProxy::WaitConnectionsDone(int n, int timeout_ms) const {
    return WaitFor(
        [&] {
            std::lock_guard<std::mutex> guard(mu_);
            return done_ >= n;
        },
        timeout_ms);
}

void ScriptedProxy::Serve(int fd) {
    int id;
    {
        std::lock_guard<std::mutex> guard(mu_);
        id = ++next_id_;
    }
    std::string head;
    for (int index = 0; ReadHttpHead(fd, head); ++index) {
        {
            std::lock_guard<std::mutex> guard(mu_);
            seen_.push_back({id, head});
        }
        std::string answer = responder_(head, index);
        if (answer.empty() || !SendAll(fd, answer)) break;
        if (IsOk(answer)) {
            Tunnel(fd, head);
            break;
        }
        if (answer.find("Connection: close") != std::string::npos) break;
    }
    std::lock_guard<std::mutex> guard(mu_);
    ++done_;
}

ScriptedProxy::Responder BasicAuthResponder(const std::string& user, const std::string& password) {
    std::string pair = user + ":" + password;
    std::string wanted = "Proxy-Authorization: Basic " + Base64Encode(pair.data(), pair.size()) + "\r\n";
    return [wanted](const std::string& head, int) -> std::string {
        if (head.find(wanted) != std::string::npos) return "HTTP/1.1 200 Connection established\r\n\r\n";
        return "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"t\"\r\n"
               "Content-Length: 0\r\n\r\n";
    };
}

NtlmVerifyingProxy::NtlmVerifyingProxy(NtlmProxyOptions options)
    : options_(std::move(options)), server_([this](int fd) { Serve(fd); }) {}

std::vector<NtlmProxySeen> NtlmVerifyingProxy::Seen() const {
    std::lock_guard<std::mutex> guard(mu_);
    return seen_;
}

std::string NtlmVerifyingProxy::TargetInfo() {
    // MsvAvNbDomainName "DOMAIN", MsvAvNbComputerName "PROXY", end of list.
    std::string info("\x02\x00\x0c\x00", 4);
    info += Utf16Ascii("DOMAIN");
    info += std::string("\x01\x00\x0a\x00", 4);
    info += Utf16Ascii("PROXY");
    info += std::string(4, '\0');
    return info;
}

void NtlmVerifyingProxy::Serve(int fd) {
    std::string challenge;  // the decoded challenge sent on this connection
    std::string head;
    while (ReadHttpHead(fd, head)) {
        std::string auth = HttpHeaderValue(head, "Proxy-Authorization");
        std::string message;
        if (auth.compare(0, 5, "NTLM ") != 0 || !Base64Decode(auth.substr(5), message) || message.size() < 12) {
            if (!SendAll(fd, Answer407("NTLM", false))) return;
            continue;
        }
        uint32_t type = Le32(message, 8);
        if (type == 1) {
            if (options_.crafted_challenge.empty()) {
                unsigned char server_challenge[8];
                RAND_bytes(server_challenge, sizeof server_challenge);
                challenge = WellFormedChallenge(std::string(reinterpret_cast<char*>(server_challenge), 8));
            } else {
                challenge = options_.crafted_challenge;
            }
            if (!SendAll(fd, Answer407("NTLM " + Base64Encode(challenge.data(), challenge.size()), false))) return;
            continue;
        }
        NtlmProxySeen seen = Verify(message, challenge);
        {
            std::lock_guard<std::mutex> guard(mu_);
            seen_.push_back(seen);
        }
        if (!seen.verified) {
            SendAll(fd, Answer407("NTLM", true));
            return;
        }
        if (!SendAll(fd, "HTTP/1.1 200 Connection established\r\n\r\n")) return;
        Tunnel(fd, head);
        return;
    }
}

NtlmProxySeen NtlmVerifyingProxy::Verify(const std::string& m, const std::string& challenge) const {
    NtlmProxySeen seen;
    seen.authenticated = true;
    seen.authenticate = m;
    std::string lm, nt, domain, user, host;
    if (m.size() < 64 || m.compare(0, 8, std::string("NTLMSSP\0", 8)) != 0 || Le32(m, 8) != 3) {
        seen.why = "not an authenticate message";
        return seen;
    }
    if (!Field(m, 12, lm) || !Field(m, 20, nt) || !Field(m, 28, domain) || !Field(m, 36, user) ||
        !Field(m, 44, host)) {
        seen.why = "a field lies outside the message";
        return seen;
    }
    if (challenge.size() < 32) {
        seen.why = "no challenge was sent";
        return seen;
    }
    if (Le32(m, 60) != Le32(challenge, 20)) {
        seen.why = "flags differ from the challenge's";
        return seen;
    }
    if (domain != Utf16Ascii(Upper(options_.domain)) || user != Utf16Ascii(options_.user) ||
        host != Utf16Ascii(Upper(options_.host))) {
        seen.why = "names differ";
        return seen;
    }
    std::string server_challenge = challenge.substr(24, 8);
    std::string nt_hash = Md4(Utf16Ascii(options_.password));
    if (nt.size() == 24) {
        if (nt != V1Response(nt_hash, server_challenge)) {
            seen.why = "NTLMv1 NT response differs";
        } else if (lm != V1Response(LmHash(options_.password), server_challenge)) {
            seen.why = "NTLMv1 LM response differs";
        } else {
            seen.verified = true;
        }
        return seen;
    }
    seen.v2 = true;
    if (nt.size() < 48 || lm.size() != 24) {
        seen.why = "NTLMv2 responses too short";
        return seen;
    }
    std::string key = HmacMd5(nt_hash, Utf16Ascii(Upper(options_.user + options_.domain)));
    std::string blob = nt.substr(16);
    seen.client_nonce = blob.substr(16, 8);
    std::string sent_info;
    bool has_info = challenge.size() >= 48 && Field(challenge, 40, sent_info);
    if (blob.compare(0, 8, std::string("\x01\x01\x00\x00\x00\x00\x00\x00", 8)) != 0 ||
        blob.substr(28, blob.size() - 32) != (has_info ? sent_info : std::string()) ||
        blob.substr(blob.size() - 4) != std::string(4, '\0')) {
        seen.why = "NTLMv2 blob malformed";
    } else if (nt.substr(0, 16) != HmacMd5(key, server_challenge + blob)) {
        seen.why = "NTLMv2 NT proof differs";
    } else if (lm != HmacMd5(key, server_challenge + seen.client_nonce) + seen.client_nonce) {
        seen.why = "NTLMv2 LM response differs";
    } else {
        seen.verified = true;
    }
    return seen;
}

}  // namespace tidewell::testing
