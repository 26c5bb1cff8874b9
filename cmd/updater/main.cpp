// The `updater` program: applies one signed update archive to an installation.
#include "updater/driver.h"

int main(int argc, char** argv) { return updater_main(argc, argv); }
