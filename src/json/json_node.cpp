// Building and freeing JSON trees.
//
// Invariants and ownership:
// - Nodes are zero-filled std::calloc blocks; every node made here has owns_names set, so its
//   member names are std::malloc buffers that FreeJson releases.
// - Member and item arrays grow by exactly one entry per addition (std::realloc), unless an
//   object has spare entries. A failed growth leaves the container exactly as it was.
// - FreeJson walks down through the last remaining child and back up through `parent`,
//   shrinking `count` as it goes, so it needs neither recursion nor a stack.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "json/json.h"

namespace mirto {
namespace {

JsonNode* NewNode(JsonType type) {
    void* memory = std::calloc(1, sizeof(JsonNode));
    if (memory == nullptr) {
        return nullptr;
    }
    // Value-initialisation only zeroes what calloc already zeroed; it starts the node's life.
    auto* node = new (memory) JsonNode();
    node->type = type;
    node->owns_names = 1;
    return node;
}

// Grows a heap array of `count` entries to `count` + 1, or returns null leaving it untouched.
template <typename T>
T* GrowByOne(T* entries, std::uint32_t count) {
    const std::size_t wanted = static_cast<std::size_t>(count) + 1;
    // T is itself a pointer for arrays of child nodes, on purpose.
    if (count == UINT32_MAX ||
        wanted > SIZE_MAX / sizeof(T)) {  // NOLINT(bugprone-sizeof-expression)
        return nullptr;
    }
    return static_cast<T*>(
        std::realloc(entries, wanted * sizeof(T)));  // NOLINT(bugprone-sizeof-expression)
}

// A heap copy of `text` up to its NUL, with its length in `length`; null for a null text, one
// too long to count in 32 bits, or when memory runs out.
char* CopyText(const char* text, std::uint32_t* length) {
    if (text == nullptr) {
        return nullptr;
    }
    const std::size_t size = std::strlen(text);
    if (size > UINT32_MAX) {
        return nullptr;
    }
    auto* copy = static_cast<char*>(std::malloc(size + 1));
    if (copy == nullptr) {
        return nullptr;
    }
    std::memcpy(copy, text, size + 1);
    *length = static_cast<std::uint32_t>(size);
    return copy;
}

}  // namespace

JsonNode* NewJsonObject() { return NewNode(kJsonObject); }

JsonNode* NewJsonArray() { return NewNode(kJsonArray); }

JsonNode* NewJsonString(const char* text) {
    std::uint32_t length = 0;
    char* copy = CopyText(text, &length);
    if (copy == nullptr) {
        return nullptr;
    }
    JsonNode* node = NewNode(kJsonString);
    if (node == nullptr) {
        std::free(copy);
        return nullptr;
    }
    node->string.length = length;
    node->string.text = copy;
    return node;
}

JsonNode* NewJsonInteger(std::int64_t value) {
    JsonNode* node = NewNode(kJsonInteger);
    if (node != nullptr) {
        node->integer = value;
    }
    return node;
}

JsonNode* NewJsonDouble(double value) {
    JsonNode* node = NewNode(kJsonDouble);
    if (node != nullptr) {
        node->real = value;
    }
    return node;
}

JsonNode* NewJsonBoolean(bool value) {
    JsonNode* node = NewNode(kJsonBoolean);
    if (node != nullptr) {
        node->boolean = value ? 1 : 0;
    }
    return node;
}

JsonNode* NewJsonNull() { return NewNode(kJsonNull); }

JsonNode* AddJsonMember(JsonNode* object, const char* name, JsonNode* value) {
    std::uint32_t length = 0;
    char* copy = CopyText(name, &length);
    if (copy == nullptr) {
        return nullptr;
    }
    if (AddJsonMemberOwned(object, length, copy, value) == nullptr) {
        std::free(copy);
        return nullptr;
    }
    return value;
}

JsonNode* AddJsonMemberOwned(JsonNode* object, std::uint32_t name_length, char* name,
                             JsonNode* value) {
    // A node already held by a container would end up freed twice.
    if (value == nullptr || value->parent != nullptr || object == nullptr ||
        object->type != kJsonObject) {
        return nullptr;
    }
    JsonObjectPayload& payload = object->object;
    if (object->spare_slots > 0) {
        --object->spare_slots;
    } else {
        JsonMember* grown = GrowByOne(payload.members, payload.count);
        if (grown == nullptr) {
            return nullptr;
        }
        payload.members = grown;
    }
    payload.members[payload.count] = JsonMember{name, name_length, value};
    ++payload.count;
    value->parent = object;
    return value;
}

JsonNode* AddJsonItem(JsonNode* array, JsonNode* item) {
    if (item == nullptr || item->parent != nullptr || array == nullptr ||
        array->type != kJsonArray) {
        return nullptr;
    }
    JsonArrayPayload& payload = array->array;
    JsonNode** grown = GrowByOne(payload.items, payload.count);
    if (grown == nullptr) {
        return nullptr;
    }
    payload.items = grown;
    payload.items[payload.count] = item;
    ++payload.count;
    item->parent = array;
    return item;
}

void FreeJson(JsonNode* root) {
    if (root == nullptr) {
        return;
    }
    // A subtree handed in on its own must not lead the walk up into its container.
    root->parent = nullptr;
    JsonNode* node = root;
    while (node != nullptr) {
        if (node->type == kJsonObject && node->object.count > 0) {
            JsonMember& member = node->object.members[--node->object.count];
            if (node->owns_names != 0) {
                std::free(member.name);
            }
            node = member.value;
            continue;
        }
        if (node->type == kJsonArray && node->array.count > 0) {
            node = node->array.items[--node->array.count];
            continue;
        }
        if (node->type == kJsonObject) {
            std::free(node->object.members);
        } else if (node->type == kJsonArray) {
            std::free(node->array.items);
        } else if (node->type == kJsonString) {
            std::free(node->string.text);
        }
        JsonNode* parent = node->parent;
        std::free(node);
        node = parent;
    }
}

}  // namespace mirto
