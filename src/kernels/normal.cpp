// normal: the foreground over the background (source-over, straight alpha).
#include "blend_common.hpp"

PyObject* blend_normal(PyObject*, PyObject* args) { return blend_normal_mode(args); }
