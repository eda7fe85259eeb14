// Kept thin on purpose: everything the program does lives in the library,
// where the tests reach it.
#include "app.h"

int main(int argc, char** argv)
{
    return qvMain(argc, argv);
}
