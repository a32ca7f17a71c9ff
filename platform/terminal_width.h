#ifndef SETUP_PLATFORM_TERMINAL_WIDTH_H_
#define SETUP_PLATFORM_TERMINAL_WIDTH_H_

// Columns of the terminal at |fd|: its window size, read again after each
// SIGWINCH; $COLUMNS when the terminal gives none; 80 otherwise. The first
// call starts catching SIGWINCH for the rest of the process's life.
int terminalColumns(int fd);

#endif  // SETUP_PLATFORM_TERMINAL_WIDTH_H_
