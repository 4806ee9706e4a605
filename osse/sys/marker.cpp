// Every library of the product exports this marker, so that a tool (and the trap files, which
// record its address per module) can tell a product library from any other shared object. Its
// value is 0; nothing reads it.
extern "C" {
__attribute__((visibility("default"))) int sqlzThisIsATarnLibrary = 0;
}
