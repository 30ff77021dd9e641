#include "rasapi/scripted_rasapi.h"

// Exported from the test program, where the scripted library finds it when it is loaded.
extern "C" __attribute__((visibility("default"))) ScriptedRas* ScriptedRasScript() {
  // Never destroyed: a library still loaded at exit records its unloading after the
  // program's own statics are gone.
  static ScriptedRas* script = new ScriptedRas;
  return script;
}
