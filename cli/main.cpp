// Entry point of quillamar-cli.
#include "cli/cli.h"

int main(int argc, char** argv) { return quillamar::cli::Main(argc, argv); }
