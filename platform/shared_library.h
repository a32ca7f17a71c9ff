#ifndef SETUP_PLATFORM_SHARED_LIBRARY_H_
#define SETUP_PLATFORM_SHARED_LIBRARY_H_

// A table of a library's functions under their own names, for libraries
// loaded with dlopen when first needed rather than linked. Given a list
// macro LIST(X) naming the functions:
//   struct Table { LIST(SETUP_LIBRARY_MEMBER) };
//   bool bound = LIST(SETUP_LIBRARY_BIND) true;  // with |handle| and |table| in scope
#include <dlfcn.h>

#define SETUP_LIBRARY_MEMBER(name) decltype(&::name) name;
#define SETUP_LIBRARY_BIND(name) bindSymbol(handle, #name, &table->name) &&

// Sets |*slot| to |handle|'s symbol |name|; false when it has none.
template <typename Function>
bool bindSymbol(void* handle, const char* name, Function* slot) {
  *slot = reinterpret_cast<Function>(dlsym(handle, name));
  return *slot != nullptr;
}

#endif  // SETUP_PLATFORM_SHARED_LIBRARY_H_
