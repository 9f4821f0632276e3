// Methods of VYREClient that live beside the class's own in other files join the
// class here. None yet: no mock log stream can run, so __exit__ has none to end.

#include "client_object.hpp"

namespace vyre::py {

std::span<const PyMethodDef> client_extension_methods() { return {}; }

bool stop_mock_stream_for_exit(PyObject*, ClientAccess&) { return true; }

}  // namespace vyre::py
