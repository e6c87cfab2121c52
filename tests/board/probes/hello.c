/* The smallest program built like the board programs: a static musl printf
 * hello-world (a real printf call, which GCC cannot turn into puts). The
 * checks take it as a program the board can run, and its stripped size is the
 * floor that the programs' sizes compare with. */
#include <stdio.h>

int main(int argc, char** argv)
{
    printf("hello, %s\n", argc > 1 ? argv[1] : "board");
    return 0;
}
