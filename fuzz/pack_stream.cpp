// An arbitrary pack content: the pax parse must refuse what is not a sound
// stream, stay inside the bytes it is given and end, whatever the bytes;
// what it accepts, it accepts again after a rebuild.
#include <cstdint>
#include <string>
#include <vector>

#include "format/pack.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<qev::PackMember> members;
    std::vector<std::string> contents;
    std::string problem;
    const bool sound = qev::parse_pack(data, size,
                                       [&](const qev::PackMember& m, const std::uint8_t* content) {
                                           members.push_back(m);
                                           contents.emplace_back(reinterpret_cast<const char*>(content), m.data_bytes());
                                           return members.size() < 1000;
                                       },
                                       problem);
    if (!sound && problem.empty()) __builtin_trap();
    if (!sound || members.size() >= 1000) return 0;
    // A member the parse accepted can be stored again, and reads back the same.
    qev::PackBuilder builder;
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (members[i].path.empty() || members[i].path.find('\0') != std::string::npos) return 0;
        // A rebuild hands a sparse member's holes over piece by piece: a
        // length of exabytes would take long, not go wrong.
        if (members[i].size > (1ull << 32)) return 0;
        if (!builder.add(members[i], reinterpret_cast<const std::uint8_t*>(contents[i].data()))) return 0;
    }
    if (!builder.finish()) return 0;
    std::size_t again = 0;
    const std::string& bytes = builder.bytes();
    if (!qev::parse_pack(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                         [&](const qev::PackMember& m, const std::uint8_t* content) {
                             if (m.path != members[again].path || m.type != members[again].type ||
                                 std::string(reinterpret_cast<const char*>(content), m.data_bytes()) != contents[again]) {
                                 __builtin_trap();
                             }
                             ++again;
                             return true;
                         },
                         problem) ||
        again != members.size()) {
        __builtin_trap();
    }
    return 0;
}
