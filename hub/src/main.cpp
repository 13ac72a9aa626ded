#include "cli/cli.h"

int main(int argc, char** argv) { return hub::cli::run(argc, argv); }
