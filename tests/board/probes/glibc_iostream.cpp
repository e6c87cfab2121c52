// Built with Debian's glibc cross g++ as an ordinary C++ program: glibc's
// loader, libstdc++ and glibc symbol versions, all of which the checks must
// refuse.
#include <iostream>

int main()
{
    std::cout << "hello, board\n";
    return 0;
}
