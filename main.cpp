// The program's entry point: everything else is the front end's.
#include "corvane.h"

int main(int argc, char **argv)
{
    return corvane_main(argc, argv);
}
