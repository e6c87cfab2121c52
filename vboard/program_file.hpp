#pragma once

// What kind of program a file is, from its ELF header: enough to tell a
// statically linked program (no loader runs in it, so no preload either)
// and the machine it was built for.

#include <optional>
#include <string>

namespace vboard {

struct ProgramFile {
    unsigned machine = 0;   // e_machine: EM_X86_64, EM_ARM...
    bool is_64bit = false;
    bool is_static = false; // no program interpreter (PT_INTERP)
};

// nullopt for a file that is no ELF program (a script, say) or cannot be read.
std::optional<ProgramFile> inspect_program(const std::string& path);

} // namespace vboard
