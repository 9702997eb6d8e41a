// sandbox-check-nodll.exe: a program that imports a function from a DLL that is never shipped, so
// it stops in the loader before its first instruction, as a submission linked against a runtime
// DLL the machine does not have.
extern "C" __declspec(dllimport) int tesselCheckAbsentFunction();

int main() { return tesselCheckAbsentFunction(); }
