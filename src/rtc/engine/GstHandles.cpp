#include "rtc/engine/GstHandles.h"

#include "rtc/RTCSdp.h"

namespace quorlinth::engine {

Json jsonFromValue(const GValue* value) {
    GType type = G_VALUE_TYPE(value);
    switch (G_TYPE_FUNDAMENTAL(type)) {
    case G_TYPE_STRING: {
        const char* text = g_value_get_string(value);
        return text ? Json(text) : Json();
    }
    case G_TYPE_BOOLEAN:
        return Json(static_cast<bool>(g_value_get_boolean(value)));
    case G_TYPE_INT:
        return Json(g_value_get_int(value));
    case G_TYPE_UINT:
        return Json(g_value_get_uint(value));
    case G_TYPE_INT64:
        return Json(g_value_get_int64(value));
    case G_TYPE_UINT64:
        return Json(g_value_get_uint64(value));
    case G_TYPE_LONG:
        return Json(g_value_get_long(value));
    case G_TYPE_ULONG:
        return Json(g_value_get_ulong(value));
    case G_TYPE_DOUBLE:
        return Json(g_value_get_double(value));
    case G_TYPE_FLOAT:
        return Json(g_value_get_float(value));
    case G_TYPE_ENUM: {
        GEnumClass* enumClass = static_cast<GEnumClass*>(g_type_class_ref(type));
        GEnumValue* entry = g_enum_get_value(enumClass, g_value_get_enum(value));
        Json result = entry ? Json(entry->value_nick) : Json(g_value_get_enum(value));
        g_type_class_unref(enumClass);
        return result;
    }
    default:
        return Json();
    }
}

Json jsonFromStructure(const GstStructure* structure) {
    Json object = Json::object();
    int count = gst_structure_n_fields(structure);
    for (int index = 0; index < count; ++index) {
        const char* name = gst_structure_nth_field_name(structure, index);
        Json value = jsonFromValue(gst_structure_get_value(structure, name));
        if (!value.is_null()) object[name] = std::move(value);
    }
    return object;
}

std::vector<GstRef<GstElement>> elementsByFactory(GstBin* bin, const char* factoryName) {
    std::vector<GstRef<GstElement>> found;
    GstIterator* iterator = gst_bin_iterate_recurse(bin);
    GValue item = G_VALUE_INIT;
    bool done = false;
    while (!done) {
        switch (gst_iterator_next(iterator, &item)) {
        case GST_ITERATOR_OK: {
            auto* element = GST_ELEMENT(g_value_get_object(&item));
            GstElementFactory* factory = gst_element_get_factory(element);
            if (factory && g_strcmp0(GST_OBJECT_NAME(factory), factoryName) == 0)
                found.emplace_back(GST_ELEMENT(gst_object_ref(element)));
            g_value_reset(&item);
            break;
        }
        case GST_ITERATOR_RESYNC:
            found.clear();
            gst_iterator_resync(iterator);
            break;
        default:
            done = true;
            break;
        }
    }
    g_value_unset(&item);
    gst_iterator_free(iterator);
    return found;
}

GstElement* makeElement(const char* factory, const char* name) {
    return gst_element_factory_make(factory, name);
}

void setTransportCcExtension(GstStructure* rtpCaps, int id) {
    std::string field = "extmap-" + std::to_string(id);
    gst_structure_set(rtpCaps, field.c_str(), G_TYPE_STRING, kTransportCcUri, nullptr);
}

} // namespace quorlinth::engine
