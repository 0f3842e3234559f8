// SPDX-License-Identifier: GPL-3.0-or-later
#include "usb/channel/PTPropertyList.hpp"

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string_view>

namespace velorin {
namespace {

constexpr int kMaxDepth = 64;
constexpr std::size_t kMaxParseBytes = 16u * 1024u * 1024u;

// Every dictionary key the USB layer reads or shows: usbmuxd messages and
// device properties, and the controller app's device info.
constexpr const char* kKnownKeys[] = {"MessageType",
                                      "Number",
                                      "DeviceID",
                                      "Properties",
                                      "PortNumber",
                                      "ProgName",
                                      "ClientVersionString",
                                      "DeviceList",
                                      "BUID",
                                      "kLibUSBMuxVersion",
                                      "ConnectionType",
                                      "ConnectionSpeed",
                                      "SerialNumber",
                                      "USBSerialNumber",
                                      "ProductID",
                                      "LocationID",
                                      "UDID",
                                      "NetworkAddress",
                                      "EscapedFullServiceName",
                                      "InterfaceIndex",
                                      "name",
                                      "model",
                                      "localizedModel",
                                      "systemVersion"};

struct PlistDeleter {
    void operator()(void* node) const {
        if (node) plist_free(static_cast<plist_t>(node));
    }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

std::optional<PTPlist> fromNode(plist_t node, int depth) {
    if (!node || depth > kMaxDepth) return std::nullopt;
    PTPlist out;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t v = 0;
            plist_get_bool_val(node, &v);
            out.kind = PTPlist::Kind::boolean;
            out.boolean = v != 0;
            break;
        }
        case PLIST_UINT: {
            std::uint64_t v = 0;
            plist_get_uint_val(node, &v);
            out.kind = PTPlist::Kind::integer;
            out.integer = static_cast<std::int64_t>(v);
            break;
        }
        case PLIST_REAL: {
            double v = 0;
            plist_get_real_val(node, &v);
            out.kind = PTPlist::Kind::real;
            out.real = v;
            break;
        }
        case PLIST_STRING: {
            // The pointer accessors: plist_get_string_val() asserts on strings
            // with embedded NUL bytes, which remote input can contain.
            std::uint64_t len = 0;
            const char* s = plist_get_string_ptr(node, &len);
            out.kind = PTPlist::Kind::string;
            if (s) out.string.assign(s, static_cast<std::size_t>(len));
            break;
        }
        case PLIST_DATA: {
            std::uint64_t len = 0;
            const char* d = plist_get_data_ptr(node, &len);
            out.kind = PTPlist::Kind::data;
            if (d)
                out.data.assign(reinterpret_cast<const std::uint8_t*>(d),
                                reinterpret_cast<const std::uint8_t*>(d) + len);
            break;
        }
        case PLIST_ARRAY: {
            out.kind = PTPlist::Kind::array;
            const std::uint32_t n = plist_array_get_size(node);
            for (std::uint32_t i = 0; i < n; ++i) {
                auto item = fromNode(plist_array_get_item(node, i), depth + 1);
                if (!item) return std::nullopt;
                out.array.push_back(std::move(*item));
            }
            break;
        }
        case PLIST_DICT: {
            // Keys are read by comparison against the keys this system knows:
            // libplist asserts (aborts) when handing out a key string with an
            // embedded NUL byte, which remote input can contain. Other keys
            // are dropped.
            out.kind = PTPlist::Kind::dictionary;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            if (!it) break;
            for (;;) {
                plist_t value = nullptr;
                plist_dict_next_item(node, it, nullptr, &value);
                if (!value) break;
                plist_t keyNode = plist_dict_item_get_key(value);
                const char* key = nullptr;
                for (const char* known : kKnownKeys) {
                    if (keyNode && plist_key_val_compare(keyNode, known) == 0) {
                        key = known;
                        break;
                    }
                }
                if (!key) continue;
                auto item = fromNode(value, depth + 1);
                if (!item) {
                    std::free(it);
                    return std::nullopt;
                }
                out.set(key, std::move(*item));
            }
            std::free(it);
            break;
        }
        default:
            out.kind = PTPlist::Kind::other;
            break;
    }
    return out;
}

plist_t toNode(const PTPlist& v) {
    switch (v.kind) {
        case PTPlist::Kind::boolean:
            return plist_new_bool(v.boolean ? 1 : 0);
        case PTPlist::Kind::integer:
            return plist_new_uint(static_cast<std::uint64_t>(v.integer));
        case PTPlist::Kind::real:
            return plist_new_real(v.real);
        case PTPlist::Kind::string:
            return plist_new_string(v.string.c_str());
        case PTPlist::Kind::data:
            return plist_new_data(reinterpret_cast<const char*>(v.data.data()), v.data.size());
        case PTPlist::Kind::array: {
            plist_t a = plist_new_array();
            for (const auto& item : v.array) plist_array_append_item(a, toNode(item));
            return a;
        }
        case PTPlist::Kind::dictionary: {
            plist_t d = plist_new_dict();
            for (const auto& e : v.dictionary) plist_dict_set_item(d, e.key.c_str(), toNode(e.value));
            return d;
        }
        case PTPlist::Kind::other:
            break;
    }
    return plist_new_string("");
}

void describe(const PTPlist& v, std::string& out, int depth) {
    if (depth > kMaxDepth) return;
    switch (v.kind) {
        case PTPlist::Kind::boolean:
            out += v.boolean ? "true" : "false";
            break;
        case PTPlist::Kind::integer:
            out += std::to_string(v.integer);
            break;
        case PTPlist::Kind::real:
            out += std::to_string(v.real);
            break;
        case PTPlist::Kind::string:
            out += v.string;
            break;
        case PTPlist::Kind::data:
            out += "<" + std::to_string(v.data.size()) + " bytes>";
            break;
        case PTPlist::Kind::array:
            out += "(";
            for (std::size_t i = 0; i < v.array.size(); ++i) {
                if (i) out += ", ";
                describe(v.array[i], out, depth + 1);
            }
            out += ")";
            break;
        case PTPlist::Kind::dictionary:
            out += "{";
            for (std::size_t i = 0; i < v.dictionary.size(); ++i) {
                if (i) out += "; ";
                out += v.dictionary[i].key + " = ";
                describe(v.dictionary[i].value, out, depth + 1);
            }
            out += "}";
            break;
        case PTPlist::Kind::other:
            out += "<?>";
            break;
    }
}

}  // namespace

PTPlist PTPlist::makeDictionary() {
    PTPlist p;
    p.kind = Kind::dictionary;
    return p;
}
PTPlist PTPlist::makeString(std::string value) {
    PTPlist p;
    p.kind = Kind::string;
    p.string = std::move(value);
    return p;
}
PTPlist PTPlist::makeInteger(std::int64_t value) {
    PTPlist p;
    p.kind = Kind::integer;
    p.integer = value;
    return p;
}
PTPlist PTPlist::makeBoolean(bool value) {
    PTPlist p;
    p.kind = Kind::boolean;
    p.boolean = value;
    return p;
}
PTPlist PTPlist::makeData(std::vector<std::uint8_t> value) {
    PTPlist p;
    p.kind = Kind::data;
    p.data = std::move(value);
    return p;
}

const PTPlist* PTPlist::find(std::string_view key) const {
    if (kind != Kind::dictionary) return nullptr;
    for (const auto& e : dictionary) {
        if (e.key == key) return &e.value;
    }
    return nullptr;
}

void PTPlist::set(std::string key, PTPlist value) {
    for (auto& e : dictionary) {
        if (e.key == key) {
            e.value = std::move(value);
            return;
        }
    }
    dictionary.push_back(PTPlistEntry{std::move(key), std::move(value)});
}

std::optional<PTPlist> PTPlistParse(std::span<const std::uint8_t> bytes) {
    std::size_t n = bytes.size();
    // A text document may come with a C string's terminating NULs, which are not
    // part of it. A binary list ends in its trailer, whose last byte (the low
    // byte of the offset table's position) is 0 for one list in 256: it is kept.
    constexpr std::string_view kBinaryMagic = "bplist";
    const bool binary =
        n >= kBinaryMagic.size() && std::equal(kBinaryMagic.begin(), kBinaryMagic.end(), bytes.begin());
    while (!binary && n > 0 && bytes[n - 1] == 0) --n;
    if (n == 0 || n > kMaxParseBytes) return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(bytes.data()), static_cast<std::uint32_t>(n), &root);
    PlistPtr owner(root);
    if (!root) return std::nullopt;
    return fromNode(root, 0);
}

std::string PTPlistToXML(const PTPlist& value) {
    PlistPtr node(toNode(value));
    char* xml = nullptr;
    std::uint32_t len = 0;
    plist_to_xml(static_cast<plist_t>(node.get()), &xml, &len);
    std::string out = xml ? std::string(xml, len) : std::string();
    if (xml) plist_to_xml_free(xml);
    return out;
}

std::vector<std::uint8_t> PTPlistToBinary(const PTPlist& value) {
    PlistPtr node(toNode(value));
    char* bin = nullptr;
    std::uint32_t len = 0;
    plist_to_bin(static_cast<plist_t>(node.get()), &bin, &len);
    std::vector<std::uint8_t> out;
    if (bin) {
        out.assign(reinterpret_cast<std::uint8_t*>(bin), reinterpret_cast<std::uint8_t*>(bin) + len);
        plist_to_bin_free(bin);
    }
    return out;
}

std::string PTPlistDescription(const PTPlist& value) {
    std::string out;
    describe(value, out, 0);
    return out;
}

}  // namespace velorin
