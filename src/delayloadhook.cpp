// Windows only: binds the module's Node-API and libuv imports to the process that loaded
// the module.
//
// The module is linked against Node's import library, which names the library
// "node.exe", and takes those imports through the delay-load helper (MSVC:
// /DELAYLOAD:node.exe; MinGW: an import library made with dlltool --output-delaylib).
// Before the helper loads a library it calls the notification hook below. For "node.exe"
// the hook answers with the module of the host process itself, so the imports are
// resolved in the running executable whatever its file name, and a second copy of a
// node.exe found on the search path is never loaded. For every other library, and every
// other notification, it answers null and the helper does its default work.
//
// Threads: the helper calls the hook on whichever thread first calls an unbound import;
// the hook reads only its arguments and the process's own module handle.
#include <windows.h>

// <delayimp.h> needs the declarations of <windows.h> first.
#include <delayimp.h>

#include <cstring>

namespace corvelle {

// The library name that Node's import library gives its imports.
constexpr const char kNodeLibraryName[] = "node.exe";

FARPROC WINAPI bindNodeImportsToHost(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary) return nullptr;
  if (info == nullptr || info->szDll == nullptr) return nullptr;
  if (_stricmp(info->szDll, kNodeLibraryName) != 0) return nullptr;
  // The module of the executable: always loaded, so no reference count to balance.
  return reinterpret_cast<FARPROC>(GetModuleHandleW(nullptr));
}

}  // namespace corvelle

// The delay-load helper reads this hook. MSVC's <delayimp.h> declares it const, MinGW's
// does not; decltype keeps the definition in step with the declaration either way.
decltype(__pfnDliNotifyHook2) __pfnDliNotifyHook2 = corvelle::bindNodeImportsToHost;
