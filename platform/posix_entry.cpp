// Entry point of the Linux stub: hands argv to the POSIX layer, which forms
// the command line the way Windows does, then runs the stub.
int PosixEntry(int argc, char** argv);

int main(int argc, char** argv) { return PosixEntry(argc, argv); }
