// The program's entry: options, root, help, discovery, the modes in order.
#pragma once

// The exit status (-1 is 255 to the shell).
int qvMain(int argc, char** argv);
