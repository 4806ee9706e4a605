// Entry point of the update utility; the command line is handled by the service factory.
int main() { return 0; }
