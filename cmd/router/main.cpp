// The `router` program: an I2P router daemon in the foreground, on one thread.
#include "cmd/router/startup.h"

int main(int argc, char** argv) { return cmd_router::run(argc, argv); }
