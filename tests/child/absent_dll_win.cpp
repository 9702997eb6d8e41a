// The DLL that missing_import.exe imports from; it is kept out of every folder the loader searches.
extern "C" __declspec(dllexport) int sandboxAbsentFunction() { return 0; }
