// Finds a function of the loaded libkxapicommon that the library keeps hidden (not in its dynamic
// symbol table), through the file's full symbol table, so tests can call internal helpers the
// library really uses instead of copies of them.
#ifndef KXAPI_TEST_LIBRARY_SYMBOL_H
#define KXAPI_TEST_LIBRARY_SYMBOL_H

#include <string>

// Address of the function whose demangled signature is strSignature (for example
// "Helper(int)"), or null when the library is stripped or holds no such symbol.
void* FindLibrarySymbol(const std::string& strSignature);

#endif
