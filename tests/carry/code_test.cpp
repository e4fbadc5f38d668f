// The instruction decoder against objdump on real code: the C library (its
// string functions in SSE, AVX2 and AVX-512), the C++ library, the host and
// the whole-state test builds. Every instruction's length and the address
// its branch or RIP-relative operand names must be objdump's.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <exception>
#include <string>
#include <vector>

#include "carry/code.h"

namespace {

struct listed {
    u64 address;
    std::vector<u8> bytes;
    std::string text;  // mnemonic and operands
};

// objdump -d's instructions, in runs of contiguous ones.
std::vector<std::vector<listed>> disassemble(const char* path) {
    std::vector<std::vector<listed>> runs;
    std::string command = std::string("objdump -d -w ") + path;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        return runs;
    }
    char line[4096];
    u64 next = 0;
    while (fgets(line, sizeof(line), pipe)) {
        char* tab = strchr(line, '\t');
        char* colon = strchr(line, ':');
        if (!tab || !colon || colon > tab) {
            continue;
        }
        listed one;
        one.address = strtoull(line, NULL, 16);
        char* text = strchr(tab + 1, '\t');
        char* bytes_end = text ? text : tab + strlen(tab);
        for (char* at = tab + 1; at < bytes_end;) {
            char* end;
            unsigned long byte = strtoul(at, &end, 16);
            if (end == at || end > bytes_end) {
                break;
            }
            one.bytes.push_back((u8)byte);
            at = end;
        }
        one.text = text ? text + 1 : "";
        if (one.bytes.empty()) {
            continue;
        }
        if (runs.empty() || one.address != next) {
            runs.emplace_back();
        }
        next = one.address + one.bytes.size();
        runs.back().push_back(one);
    }
    pclose(pipe);
    return runs;
}

// The address objdump says an instruction names, or 0: a branch's target
// or a RIP-relative operand's ("# 3000 <name>").
u64 named_address(std::string text) {
    size_t hash = text.find("# ");
    if (text.find("(%rip)") != std::string::npos && hash != std::string::npos) {
        return strtoull(text.c_str() + hash + 2, NULL, 16);
    }
    // Prefixes objdump spells out ("data16 data16 rex.W call", "bnd jmp").
    static const char* const prefixes[] = {"data16 ", "rex.W ", "rex ", "bnd ", "notrack ",
                                           "cs ", "ds "};
    for (bool more = true; more;) {
        more = false;
        for (const char* prefix : prefixes) {
            if (text.compare(0, strlen(prefix), prefix) == 0) {
                text = text.substr(strlen(prefix));
                more = true;
            }
        }
    }
    static const char* const branches[] = {"j", "call", "loop", "xbegin"};
    for (const char* branch : branches) {
        if (text.compare(0, strlen(branch), branch) == 0) {
            size_t space = text.find_first_of(" \t");
            while (space != std::string::npos && text[space] == ' ') {
                ++space;
            }
            std::string operand = text.substr(0, text.find(" <"));
            if (space != std::string::npos && isxdigit((unsigned char)text[space]) &&
                operand.find('*') == std::string::npos && operand.find('%') == std::string::npos) {
                return strtoull(text.c_str() + space, NULL, 16);
            }
        }
    }
    return 0;
}

struct tally {
    u64 instructions = 0;
    u64 targets = 0;
    u64 wrong = 0;
};

void compare(const char* path, tally* total) {
    std::vector<std::vector<listed>> runs = disassemble(path);
    ASSERT_FALSE(runs.empty()) << path;
    for (const std::vector<listed>& run : runs) {
        std::vector<u8> code;
        for (const listed& one : run) {
            code.insert(code.end(), one.bytes.begin(), one.bytes.end());
        }
        u64 at = 0;
        for (const listed& one : run) {
            if (one.text.find("(bad)") != std::string::npos || one.text.find(".byte") == 0) {
                break;  // not code: what follows in the run can't be trusted either
            }
            code_instruction instruction;
            bool decoded = code_decode(code.data() + at, code.size() - at, &instruction);
            total->instructions += 1;
            if (!decoded || instruction.length != one.bytes.size()) {
                if (++total->wrong <= 20) {
                    ADD_FAILURE() << path << " " << std::hex << one.address << ": " << one.text
                                  << " is " << std::dec << one.bytes.size() << " bytes, decoded "
                                  << instruction.length;
                }
                break;
            }
            u64 expected = named_address(one.text);
            u64 target = 0;
            if (instruction.target_at) {
                i64 displacement = 0;
                if (instruction.target_size == 1) {
                    displacement = (i8)one.bytes[instruction.target_at];
                } else {
                    i32 wide;
                    memcpy(&wide, &one.bytes[instruction.target_at], 4);
                    displacement = wide;
                }
                target = one.address + instruction.length + (u64)displacement;
            }
            total->targets += expected != 0;
            if (target != expected && ++total->wrong <= 20) {
                ADD_FAILURE() << path << " " << std::hex << one.address << ": " << one.text
                              << " names " << expected << ", decoded " << target;
            }
            at += instruction.length;
        }
    }
}

std::string library_of(const void* symbol) {
    Dl_info info;
    return dladdr(symbol, &info) && info.dli_fname ? info.dli_fname : "";
}

TEST(CodeDecode, LengthsAndNamedAddressesAreObjdumps) {
    std::vector<std::string> paths = {library_of((const void*)&memcpy),
                                      library_of((const void*)&std::terminate),
                                      TEST_MODULE_WHOLE};
#ifdef CLOSURES_V1
    paths.push_back(CLOSURES_V1);
#endif
    tally total;
    for (const std::string& path : paths) {
        ASSERT_FALSE(path.empty());
        compare(path.c_str(), &total);
    }
    EXPECT_EQ(total.wrong, 0u);
    EXPECT_GT(total.instructions, 100000u);
    EXPECT_GT(total.targets, 10000u);
    printf("%llu instructions, %llu naming an address\n", (unsigned long long)total.instructions,
           (unsigned long long)total.targets);
}

// Damaged code, cut anywhere: decoding stays inside what it is given.
TEST(CodeDecode, NeverReadsPastWhatItIsGiven) {
    std::vector<std::vector<listed>> runs = disassemble(library_of((const void*)&memcpy).c_str());
    ASSERT_FALSE(runs.empty());
    u32 seed = 77;
    for (u32 round = 0; round < 20000; ++round) {
        seed = seed * 1103515245 + 12345;
        const std::vector<listed>& run = runs[(seed >> 8) % runs.size()];
        const listed& one = run[(seed >> 4) % run.size()];
        u64 keep = (seed >> 16) % (one.bytes.size() + 1);
        // Exactly the bytes kept, in a block of their own: a read past them
        // is a read past the block.
        u8* bytes = (u8*)malloc(keep ? keep : 1);
        memcpy(bytes, one.bytes.data(), keep);
        if (keep) {
            bytes[(seed >> 3) % keep] ^= (u8)(seed >> 24);
        }
        code_instruction instruction;
        if (code_decode(bytes, keep, &instruction)) {
            ASSERT_LE(instruction.length, keep);
            ASSERT_LE(instruction.target_at + instruction.target_size, instruction.length);
        } else {
            ASSERT_EQ(instruction.length, 0u);
        }
        free(bytes);
    }
}

}  // namespace
