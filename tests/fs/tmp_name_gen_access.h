// Test access to the name generator's internals.
#pragma once

#include <cstring>
#include <memory>
#include <string>

#include "fs/tmp_name_gen.h"

class TmpNameGenTestAccess {
public:
    // A generator of its own, seeded with `key` as its seed text.
    static std::unique_ptr<TmpNameGen> make(const char* key) {
        return std::unique_ptr<TmpNameGen>(new TmpNameGen(key));
    }
    static ustring name(TmpNameGen& gen) { return gen.getTmpName(); }

    // The name the process-wide generator will give next, worked out on a
    // copy of its state.
    static std::string peekNextName() {
        TmpNameGen& gen = TmpNameGen::getInstance();
        std::unique_ptr<TmpNameGen> clone = make("0");
        {
            std::lock_guard<std::mutex> guard(TmpNameGen::m_lock);
            memcpy(clone->m_s_box, gen.m_s_box, sizeof(gen.m_s_box));
        }
        return clone->getTmpName().str();
    }
};
