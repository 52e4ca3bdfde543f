/* riffadep.dll: a DLL of the stub library's own (riffa_stub.c built with
 * RIFFA_STUB_DEPENDENCY), beside it as a vendor's build would install it.
 * The mode it answers tells which copy was loaded. */
__declspec(dllexport) long riffadep_mode(void) { return RIFFADEP_MODE; }
