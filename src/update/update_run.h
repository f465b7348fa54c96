// The update run: one pass from the program's entry to the client's relaunch.
#ifndef RELAYHIVE_UPDATE_UPDATE_RUN_H
#define RELAYHIVE_UPDATE_UPDATE_RUN_H

// Answers a lone --help or --version and ignores any other arguments; returns 0 on every path.
int RunUpdate(int argc, char** argv, char** envp);

#endif
