#include "device_config.hpp"

#include "device_protocol.hpp"
#include "once_cell.hpp"
#include "py_values.hpp"
#include "record_object.hpp"
#include "record_pickling.hpp"

namespace vyre::py {
namespace {

using vyre::DeviceConfig;

OnceCell type_cell;

struct ConfigState {
    using Record = DeviceConfig;
    static constexpr const char* kName = "DeviceConfig";
    static PyObject* state(const DeviceConfig& config) {
        return Py_BuildValue("(y#HB)", config.name.data(), static_cast<Py_ssize_t>(config.name.size()),
                             static_cast<unsigned short>(config.frequency),
                             static_cast<unsigned char>(config.protocol));
    }
    static bool from_state(PyObject* state, DeviceConfig& config) {
        PyObject* items[3];
        std::uint8_t protocol = 0;
        if (!unpack_state(state, 3, kName, items) || !text_from_state(items[0], config.name, kName) ||
            !to_u16(items[1], config.frequency) || !to_u8(items[2], protocol)) {
            return false;
        }
        if (protocol < 1 || protocol > 4) {
            PyErr_SetString(PyExc_ValueError, "DeviceConfig state holds no protocol value");
            return false;
        }
        config.protocol = vyre::protocol_from_byte(protocol);
        return true;
    }
};
using Pickling = RecordPickling<ConfigState>;

PyGetSetDef getset[] = {
    field_entry<DeviceConfig, std::string, &DeviceConfig::name, text_value, to_text>("name"),
    field_entry<DeviceConfig, std::uint16_t, &DeviceConfig::frequency, u16_value, to_u16>("frequency"),
    field_entry<DeviceConfig, vyre::DeviceProtocol, &DeviceConfig::protocol, device_protocol_value,
                to_device_protocol>("protocol"),
    {},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Represents the configuration settings of the VYRE device.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<DeviceConfig>)},
    {Py_tp_getset, getset},
    {Py_tp_methods, Pickling::methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.DeviceConfig",
    sizeof(RecordObject<DeviceConfig>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace

PyTypeObject* device_config_type() {
    return reinterpret_cast<PyTypeObject*>(type_cell.get_or_init([] { return PyType_FromSpec(&spec); }));
}

PyObject* new_device_config(const vyre::DeviceConfig& config) {
    PyTypeObject* type = device_config_type();
    return type ? wrap_record(type, config) : nullptr;
}

}  // namespace vyre::py
