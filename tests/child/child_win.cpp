// Test child program: behaviours chosen by its arguments (filled in with the launch work).
int wmain() { return 0; }
