// A test module that loads but exports no "entry".
extern "C" __declspec(dllexport) int not_the_entry(void) { return 42; }
