// The DLL sandbox-check-nodll.exe imports from: built only for its import library, into a folder
// the loader never searches, and never shipped.
extern "C" __declspec(dllexport) int tesselCheckAbsentFunction() { return 0; }
