// The program's entry: options, the root check, help and version, discovery,
// and the fixed order in which the modes run.
#pragma once

// Runs the whole program; the result is the process exit status (-1 is seen
// by the shell as 255).
int qvMain(int argc, char** argv);
