#include "program_file.hpp"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace vboard {

namespace {

template <typename Header, typename ProgramHeader>
std::optional<ProgramFile> inspect(int fd, bool is_64bit)
{
    Header header{};
    if (pread(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
        header.e_phentsize != sizeof(ProgramHeader)) {
        return std::nullopt;
    }
    ProgramFile file;
    file.machine = header.e_machine;
    file.is_64bit = is_64bit;
    file.is_static = true;
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        ProgramHeader segment{};
        const auto at = static_cast<off_t>(header.e_phoff + i * sizeof segment);
        if (pread(fd, &segment, sizeof segment, at) != static_cast<ssize_t>(sizeof segment)) {
            return std::nullopt;
        }
        if (segment.p_type == PT_INTERP) {
            file.is_static = false;
        }
    }
    return file;
}

} // namespace

std::optional<ProgramFile> inspect_program(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    unsigned char ident[EI_NIDENT] = {};
    std::optional<ProgramFile> file;
    if (pread(fd, ident, sizeof ident, 0) == static_cast<ssize_t>(sizeof ident) &&
        std::memcmp(ident, ELFMAG, SELFMAG) == 0 && ident[EI_DATA] == ELFDATA2LSB) {
        if (ident[EI_CLASS] == ELFCLASS64) {
            file = inspect<Elf64_Ehdr, Elf64_Phdr>(fd, true);
        } else if (ident[EI_CLASS] == ELFCLASS32) {
            file = inspect<Elf32_Ehdr, Elf32_Phdr>(fd, false);
        }
    }
    close(fd);
    return file;
}

} // namespace vboard
