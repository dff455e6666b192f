#include "cli/climain.h"

int main(int argc, char* argv[])
{
    return runCliProgram(argc, argv);
}
