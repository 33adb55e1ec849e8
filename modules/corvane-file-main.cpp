// corvane-file: the password-file module program; its store is
// corvane-file.cpp, a library of its own.
#include "modules/corvane-file.h"

int main(int argc, char **argv)
{
    return corvane_file_main(argc, argv);
}
