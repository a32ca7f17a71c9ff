// What a script sees, on both roads: the agent's own exit status passed
// through, 128 + n for a signal that ended it, and no "Installation failed."
// after either. The agent of lifecycle_test.cc's signal table shows both: it
// exits with its own status on TERM and INT and is ended by HUP. A cancel's
// 128 + n and the program's own failures' 255 are in setup_test.cc.
