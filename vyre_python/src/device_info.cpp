#include "device_info.hpp"

#include "once_cell.hpp"
#include "py_values.hpp"
#include "record_object.hpp"
#include "record_pickling.hpp"

namespace vyre::py {
namespace {

using vyre::DeviceInfo;

OnceCell type_cell;

struct InfoState {
    using Record = DeviceInfo;
    static constexpr const char* kName = "DeviceInfo";
    static PyObject* state(const DeviceInfo& info) {
        return Py_BuildValue("(y#K)", info.firmware_version.data(),
                             static_cast<Py_ssize_t>(info.firmware_version.size()),
                             static_cast<unsigned long long>(info.id));
    }
    static bool from_state(PyObject* state, DeviceInfo& info) {
        PyObject* items[2];
        return unpack_state(state, 2, kName, items) && text_from_state(items[0], info.firmware_version, kName) &&
               to_u64(items[1], info.id);
    }
};
using Pickling = RecordPickling<InfoState>;

PyGetSetDef getset[] = {
    field_entry<DeviceInfo, std::string, &DeviceInfo::firmware_version, text_value, to_text>("firmware_version"),
    field_entry<DeviceInfo, std::uint64_t, &DeviceInfo::id, u64_value, to_u64>("id"),
    {},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Represents the information of the VYRE device.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<DeviceInfo>)},
    {Py_tp_getset, getset},
    {Py_tp_methods, Pickling::methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.DeviceInfo",
    sizeof(RecordObject<DeviceInfo>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace

PyTypeObject* device_info_type() {
    return reinterpret_cast<PyTypeObject*>(type_cell.get_or_init([] { return PyType_FromSpec(&spec); }));
}

PyObject* new_device_info(const vyre::DeviceInfo& info) {
    PyTypeObject* type = device_info_type();
    return type ? wrap_record(type, info) : nullptr;
}

}  // namespace vyre::py
