#include "kep_main.h"

int main(int argc, char **argv) { KepMain(argc, argv); }
