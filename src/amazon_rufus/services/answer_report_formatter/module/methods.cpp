// The method table, made from the step list.
#include "steps.hpp"

#include <initializer_list>

namespace arf {

#define ARF_PARAM(name, kind, annotation) Param{#name, ParamKind::kind, annotation}
#define ARF_METHOD(e, name, impl, doc, returns, ...) \
    {name, doc, returns, static_cast<int>(std::initializer_list<Param>{__VA_ARGS__}.size()), {__VA_ARGS__}, impl},

const MethodSpec METHODS[STEP_COUNT] = {ARF_STEPS(ARF_METHOD)};

#undef ARF_METHOD
#undef ARF_PARAM

}  // namespace arf
