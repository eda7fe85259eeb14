// Kept thin on purpose, as the tool's own entry point.
#include "status_report.h"

int main(int argc, char** argv)
{
    return statusMain(argc, argv);
}
