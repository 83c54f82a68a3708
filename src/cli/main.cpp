#include "cli/cli.h"

int main(int argc, char** argv) { return qev::run_qev(argc, argv); }
