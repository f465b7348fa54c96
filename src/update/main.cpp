#include "update/update_run.h"

int main(int argc, char** argv, char** envp) { return RunUpdate(argc, argv, envp); }
