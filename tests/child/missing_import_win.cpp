// A program that imports a function from a DLL that is built where the loader never looks: it
// stops in the loader before its first instruction, as a submission linked against a runtime
// DLL the machine does not have.
extern "C" __declspec(dllimport) int sandboxAbsentFunction();

int main() { return sandboxAbsentFunction(); }
