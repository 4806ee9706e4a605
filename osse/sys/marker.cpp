// Every library of the product exports this marker, so that a tool can tell a product library
// from any other shared object.
extern "C" {
__attribute__((visibility("default"))) int sqlzThisIsATarnLibrary = 1;
}
