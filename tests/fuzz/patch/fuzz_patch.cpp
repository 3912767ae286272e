// Applies arbitrary bytes as a patch to a fixed basis, with the new file's
// hash, signature and reverse delta; a patch that reaches its end command
// must give a new file whose reverse delta restores the basis.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "delta/delta_file_reader.h"
#include "support/fuzz_files.h"

using tidewell::fuzzing::read_file;
using tidewell::fuzzing::write_file;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    static const std::string dir = tidewell::fuzzing::temp_folder("fuzz-patch");
    static const std::string basis_path = dir + "/basis", patch_path = dir + "/patch", new_path = dir + "/new",
                             sig_path = dir + "/sig", reverse_path = dir + "/reverse",
                             restored_path = dir + "/restored";
    static const std::string basis = [] {
        std::string b(5000, '\0');
        uint32_t x = 12345;
        for (char& c : b) c = static_cast<char>((x = x * 1103515245 + 12345) >> 24);
        write_file(basis_path, b.data(), b.size());
        return b;
    }();
    if (size > 1 << 16) return 0;  // keep the new files small
    write_file(patch_path, bytes, size);

    ustring hash;
    DeltaFileReader r;
    r.setFile(patch_path.c_str(), basis_path.c_str());
    r.setNewFile(new_path.c_str());
    r.setHashString(hash);
    r.setSignature(sig_path.c_str(), 64, 8);
    r.setReverseDeltaFile(reverse_path.c_str());
    int rc = r.readFile();
    if (rc != 0 && rc != FileReader::ERROR_SYSTEM_CALL && rc != FileReader::ERROR_FILE_FORMAT) std::abort();
    if (rc == 0 && hash.length() != 32) std::abort();
    if (rc == 0 && r.isComplete()) {
        DeltaFileReader back;
        back.setFile(reverse_path.c_str(), new_path.c_str());
        back.setNewFile(restored_path.c_str());
        if (back.readFile() != 0 || !back.isComplete()) std::abort();
        if (read_file(restored_path) != basis) std::abort();
    }
    return 0;
}
