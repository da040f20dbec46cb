// The module global `re`, as the algorithm reaches it at every use.
#pragma once
#include "../module/steps.hpp"

namespace arf {

// Whether the module global `re.match` is still the one imported at load
// time (-1 when reading the global fails).
int re_is_original();
// `re.match` looked up as the algorithm does (the global `re`, then its
// attribute); a new reference.
Ref re_match_function();
// match(pattern, text); a new reference.
Ref call_re_match(Handle match, Handle pattern, Handle text);
// re.match(pattern, text) through the module global; a new reference.
Ref re_match_global(Handle pattern, Handle text);

}  // namespace arf
