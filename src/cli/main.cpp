// kiv: sends one command to kivd (or kiv-render) and prints the reply.
#include "cli.h"

int main(int argc, char **argv) {
    return cli_run(argc, argv);
}
