#include "devices.hpp"

namespace vemo_ui::share::detail {

namespace {

using automerge::ObjId;
using automerge::ObjType;

std::optional<ObjId> map_at(automerge::AutoCommit& doc, ObjId const& obj, std::string const& key) {
    auto got = doc.get(obj, key);
    if (!got || !*got) return std::nullopt;
    auto const* type = std::get_if<ObjType>(&(*got)->first);
    if (!type || *type != ObjType::Map) return std::nullopt;
    return (*got)->second;
}

template <class T>
std::optional<T> scalar_at(automerge::AutoCommit& doc, ObjId const& obj, std::string const& key) {
    auto got = doc.get(obj, key);
    if (!got || !*got) return std::nullopt;
    auto const* scalar = std::get_if<automerge::ScalarValue>(&(*got)->first);
    if (!scalar) return std::nullopt;
    if (auto const* v = std::get_if<T>(scalar)) return *v;
    return std::nullopt;
}

}  // namespace

std::map<std::string, DeviceRecord> read_devices(automerge::AutoCommit& doc) {
    std::map<std::string, DeviceRecord> out;
    auto devices = map_at(doc, ObjId::root(), devices_key);
    if (!devices) return out;
    for (auto const& key : doc.keys(*devices)) {
        auto record = map_at(doc, *devices, key);
        if (!record) continue;
        out[key] = DeviceRecord{scalar_at<std::string>(doc, *record, "ticket").value_or(""),
                                scalar_at<std::string>(doc, *record, "person").value_or(""),
                                scalar_at<std::string>(doc, *record, "name").value_or(""),
                                scalar_at<std::int64_t>(doc, *record, "last_seen").value_or(0)};
    }
    return out;
}

bool write_own_device(automerge::AutoCommit& doc, std::string const& key,
                      DeviceRecord const& record, std::int64_t seen_step) {
    auto existing = read_devices(doc);
    auto it = existing.find(key);
    DeviceRecord current = it == existing.end() ? DeviceRecord{} : it->second;
    bool seen_moved = record.last_seen - current.last_seen >= seen_step;
    if (it != existing.end() && current.ticket == record.ticket &&
        current.person == record.person && current.name == record.name && !seen_moved)
        return false;
    doc.ensure_transaction_open();
    auto devices = map_at(doc, ObjId::root(), devices_key);
    if (!devices)
        devices = doc.put_object(ObjId::root(), std::string(devices_key), ObjType::Map).value();
    auto own = it == existing.end() ? std::nullopt : map_at(doc, *devices, key);
    if (!own) own = doc.put_object(*devices, key, ObjType::Map).value();
    if (it == existing.end() || current.ticket != record.ticket)
        (void)doc.put(*own, std::string("ticket"), record.ticket);
    if (current.person != record.person) (void)doc.put(*own, std::string("person"), record.person);
    if (current.name != record.name) (void)doc.put(*own, std::string("name"), record.name);
    if (seen_moved) (void)doc.put(*own, std::string("last_seen"), record.last_seen);
    return true;
}

}  // namespace vemo_ui::share::detail
