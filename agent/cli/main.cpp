#include "agent/cli.h"

int main(int argc, char **argv) { return agent::cli_main(argc, argv); }
