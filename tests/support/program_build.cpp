#include "program_build.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

namespace vboard {

namespace {

std::string bundle_directory()
{
    const char* dir = std::getenv("BRINGUP_BOARD_BUNDLE");
    return dir != nullptr ? dir : "";
}

// The board build's run skips every test where the bundle is not there.
class BoardBundle : public testing::Environment {
public:
    void SetUp() override
    {
        if (build_under_test() == Build::board && !std::filesystem::is_directory(bundle_directory() + "/bin")) {
            GTEST_SKIP() << "the board's bundle is not there (" << bundle_directory()
                         << "): cmake --workflow --preset board packs it, where the board's cross packages are";
        }
    }
};

[[maybe_unused]] testing::Environment* const board_bundle = testing::AddGlobalTestEnvironment(new BoardBundle);

} // namespace

Build build_under_test()
{
    const char* build = std::getenv("BRINGUP_BUILD");
    return build != nullptr && std::strcmp(build, "board") == 0 ? Build::board : Build::host;
}

std::string program(const std::string& host_path, const std::string& name)
{
    return build_under_test() == Build::board ? bundle_directory() + "/bin/" + name : host_path;
}

std::string error_text(int error)
{
    if (build_under_test() == Build::host) {
        return std::strerror(error);
    }
    // musl's texts where they are not glibc's (musl's src/errno/__strerror.h),
    // for the errnos a program's failures here can show.
    static const std::map<int, std::string> musl{
        {EIO, "I/O error"},           {EBUSY, "Resource busy"},          {ELOOP, "Symbolic link loop"},
        {ETIMEDOUT, "Operation timed out"}, {ENOTTY, "Not a tty"},      {EMFILE, "No file descriptors available"},
        {ENAMETOOLONG, "Filename too long"}, {EOVERFLOW, "Value too large for data type"},
        {EOPNOTSUPP, "Not supported"}, {ENOTCONN, "Socket not connected"}, {EDQUOT, "Quota exceeded"},
    };
    const auto text = musl.find(error);
    return text != musl.end() ? text->second : std::strerror(error);
}

std::string lost_output_message(const std::string& program_name, int error)
{
    return program_name + ": cannot write standard output: " + error_text(error) + "\n";
}

} // namespace vboard
