// A small writer of one-line JSON objects into a fixed buffer. Its output is
// plain ASCII: texts are taken in the system's 8-bit code page and everything
// outside printable ASCII is written as \u escapes, so a hostile wake source or
// path still gives valid JSON.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "results/results.h"

void JsonBegin(JsonLine* json, char* buffer, size_t size) {
    json->buffer = buffer;
    json->size = size;
    json->used = 0;
    json->overflow = size < 3;
    json->fields = 0;
    json->outerFields = 0;
    if (size > 0) buffer[0] = '\0';
    JsonRaw(json, "{");
}

void JsonRaw(JsonLine* json, const char* text) {
    size_t length = strlen(text);
    if (json->overflow || json->used + length + 1 > json->size) {
        json->overflow = true;
        return;
    }
    memcpy(json->buffer + json->used, text, length + 1);
    json->used += length;
}

static void JsonKey(JsonLine* json, const char* key) {
    if (json->fields++ > 0) JsonRaw(json, ",");
    JsonEscaped(json, key);
    JsonRaw(json, ":");
}

static void AppendCodeUnit(JsonLine* json, unsigned unit) {
    char escape[8];
    switch (unit) {
    case '"': JsonRaw(json, "\\\""); return;
    case '\\': JsonRaw(json, "\\\\"); return;
    case '\n': JsonRaw(json, "\\n"); return;
    case '\r': JsonRaw(json, "\\r"); return;
    case '\t': JsonRaw(json, "\\t"); return;
    default: break;
    }
    if (unit >= 0x20 && unit < 0x7F) {
        escape[0] = (char)unit;
        escape[1] = '\0';
    } else {
        snprintf(escape, sizeof(escape), "\\u%04x", unit & 0xFFFF);
    }
    JsonRaw(json, escape);
}

void JsonEscaped(JsonLine* json, const char* text) {
    JsonRaw(json, "\"");
    bool plain = true;
    for (const unsigned char* p = (const unsigned char*)text; *p; p++) plain = plain && *p < 0x80;
    WCHAR* wide = nullptr;
    int count = 0;
    if (!plain) {
        // The whole text through the code page at once: a double-byte
        // character's second byte may look like ASCII.
        count = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
        if (count > 0) wide = static_cast<WCHAR*>(malloc(sizeof(WCHAR) * (size_t)count));
        if (wide && MultiByteToWideChar(CP_ACP, 0, text, -1, wide, count) != count) {
            free(wide);
            wide = nullptr;
        }
    }
    if (wide) {
        for (int i = 0; i + 1 < count; i++) AppendCodeUnit(json, wide[i]);
        free(wide);
    } else {
        // ASCII, or a text the code page could not convert: byte by byte.
        for (const unsigned char* p = (const unsigned char*)text; *p; p++) AppendCodeUnit(json, *p);
    }
    JsonRaw(json, "\"");
}

void JsonString(JsonLine* json, const char* key, const char* value) {
    JsonKey(json, key);
    if (value)
        JsonEscaped(json, value);
    else
        JsonRaw(json, "null");
}

void JsonInt(JsonLine* json, const char* key, long long value) {
    char number[32];
    snprintf(number, sizeof(number), "%lld", value);
    JsonKey(json, key);
    JsonRaw(json, number);
}

void JsonNull(JsonLine* json, const char* key) {
    JsonKey(json, key);
    JsonRaw(json, "null");
}

void JsonOpenObject(JsonLine* json, const char* key) {
    JsonKey(json, key);
    JsonRaw(json, "{");
    json->outerFields = json->fields;
    json->fields = 0;
}

void JsonCloseObject(JsonLine* json) {
    JsonRaw(json, "}");
    json->fields = json->outerFields;
}

bool JsonEnd(JsonLine* json) {
    JsonRaw(json, "}");
    if (json->overflow && json->size > 0) json->buffer[0] = '\0';
    return !json->overflow;
}
