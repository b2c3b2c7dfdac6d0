// One reader of rendered event records: the UTF-16 text EvtRender gives,
// walked once by the platform's XML parser (xmllite.dll, bound at run time),
// into the few fields the program uses. Texts come out as UTF-8 in bounded
// buffers; nothing in a record can make the reader overrun one.
#include <windows.h>
#include <objidl.h>
#include <xmllite.h>
#include <new>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "events/events.h"
#include "log/log.h"

// Renderings nest four deep; anything deeper holds nothing the program reads.
#define XML_DEPTH_LIMIT 16
#define EVENT_ID_LIMIT 0xFFFF

typedef HRESULT(WINAPI* CreateXmlReaderFn)(REFIID riid, void** reader, IMalloc* malloc);
// The headers at hand leave this one out; its signature is the platform's.
typedef HRESULT(WINAPI* CreateXmlReaderInputFn)(IUnknown* stream, IMalloc* malloc, UINT codePage, BOOL hint,
                                                LPCWSTR baseUri, IUnknown** input);

// ---------------------------------------------------------------------------
// Binding. The wake-source thread and the start-up's query may both be first.

static volatile LONG gXmlLiteState = 0;  // 0 not tried, 1 binding, 2 done (bound or missing)
static CreateXmlReaderFn gCreateXmlReader;
static CreateXmlReaderInputFn gCreateXmlReaderInput;

template <typename T>
static void Resolve(HMODULE module, T& entry, const char* name) {
    entry = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

static bool BindXmlLite() {
    if (InterlockedCompareExchange(&gXmlLiteState, 1, 0) == 0) {
        HMODULE module = LoadSystemLibrary("xmllite.dll");
        DWORD error = module ? 0 : GetLastError();
        if (module) {
            Resolve(module, gCreateXmlReader, "CreateXmlReader");
            Resolve(module, gCreateXmlReaderInput, "CreateXmlReaderInputWithEncodingCodePage");
        }
        if (!gCreateXmlReader || !gCreateXmlReaderInput) {
            gCreateXmlReader = nullptr;
            gCreateXmlReaderInput = nullptr;
            if (module) FreeLibrary(module);
            // Only the details of each wake and of a lost sleep are missing: the sleeps still run.
            LogDebug("The XML parser (xmllite.dll) is not available (Error = 0x%x): the system's event records "
                     "are not read",
                     (unsigned)error);
        }
        InterlockedExchange(&gXmlLiteState, 2);
    }
    while (InterlockedCompareExchange(&gXmlLiteState, 2, 2) != 2) Sleep(0);
    return gCreateXmlReader != nullptr;
}

// ---------------------------------------------------------------------------
// The parser's input: the given bytes, never one past them.

class ByteStream final : public ISequentialStream {
public:
    ByteStream(const char* bytes, size_t size) : bytes_(bytes), size_(size) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(ISequentialStream))) {
            *object = static_cast<ISequentialStream*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return (ULONG)InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG left = InterlockedDecrement(&refs_);
        if (left == 0) delete this;
        return (ULONG)left;
    }
    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override {
        size_t left = size_ - position_;
        ULONG count = size < left ? size : (ULONG)left;
        if (count) memcpy(buffer, bytes_ + position_, count);
        position_ += count;
        if (read) *read = count;
        return count == size ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG* written) override {
        if (written) *written = 0;
        return STG_E_ACCESSDENIED;
    }

private:
    const char* bytes_;
    size_t size_;
    size_t position_ = 0;
    volatile LONG refs_ = 1;
};

// ---------------------------------------------------------------------------
// Texts.

// UTF-16 text of the element being read, kept only as far as any output
// buffer can use it: each unit gives at least one byte of UTF-8.
struct PendingText {
    WCHAR units[EVENT_XML_VALUE_SIZE];
    size_t count;
    bool overflow;
};

static void AppendText(PendingText* text, const WCHAR* units, UINT length) {
    size_t room = EVENT_XML_VALUE_SIZE - text->count;
    if (length > room) {
        text->overflow = true;
        length = (UINT)room;
    }
    memcpy(text->units + text->count, units, length * sizeof(WCHAR));
    text->count += length;
}

// count units as UTF-8 into out, cut before the first character that does
// not fit whole. true when the whole text fit.
static bool ToUtf8(const WCHAR* units, size_t count, char* out, size_t outSize) {
    bool whole = true;
    if (count > EVENT_XML_VALUE_SIZE) {
        count = EVENT_XML_VALUE_SIZE;
        whole = false;
    }
    // A pair split by a bound is no character.
    if (!whole && count && IS_HIGH_SURROGATE(units[count - 1])) count--;
    char converted[EVENT_XML_VALUE_SIZE * 3];
    int bytes = count ? WideCharToMultiByte(CP_UTF8, 0, units, (int)count, converted, (int)sizeof(converted),
                                            nullptr, nullptr)
                      : 0;
    size_t used = bytes > 0 ? (size_t)bytes : 0;
    if (used > outSize - 1) {
        used = outSize - 1;
        // Back to the first byte of the character that would straddle the end.
        while (used > 0 && ((unsigned char)converted[used] & 0xC0) == 0x80) used--;
        whole = false;
    }
    memcpy(out, converted, used);
    out[used] = '\0';
    return whole;
}

static bool IsName(const WCHAR* name, UINT length, const WCHAR* expected) {
    return wcslen(expected) == length && wmemcmp(name, expected, length) == 0;
}

// The value of the current element's attribute name into out; false when it
// has none. The reader is left on the element.
static bool ReadAttribute(IXmlReader* reader, const WCHAR* name, char* out, size_t outSize, bool* whole) {
    out[0] = '\0';
    bool found = false;
    for (HRESULT hr = reader->MoveToFirstAttribute(); hr == S_OK; hr = reader->MoveToNextAttribute()) {
        const WCHAR* local = nullptr;
        const WCHAR* value = nullptr;
        UINT length = 0, valueLength = 0;
        if (FAILED(reader->GetLocalName(&local, &length)) || !IsName(local, length, name)) continue;
        if (SUCCEEDED(reader->GetValue(&value, &valueLength))) {
            bool fit = ToUtf8(value, valueLength, out, outSize);
            if (whole) *whole = fit;
            found = true;
        }
        break;
    }
    reader->MoveToElement();
    return found;
}

// An event id: decimal digits only, at most EVENT_ID_LIMIT; -1 otherwise.
static long ParseEventId(const PendingText* text) {
    if (text->overflow || text->count == 0 || text->count > 5) return -1;
    long value = 0;
    for (size_t i = 0; i < text->count; i++) {
        WCHAR c = text->units[i];
        if (c < L'0' || c > L'9') return -1;
        value = value * 10 + (c - L'0');
    }
    return value <= EVENT_ID_LIMIT ? value : -1;
}

// ---------------------------------------------------------------------------
// The walk.

enum { NODE_OTHER, NODE_EVENT, NODE_SYSTEM, NODE_EVENT_ID, NODE_EVENT_DATA, NODE_DATA };

struct XmlWalk {
    int kinds[XML_DEPTH_LIMIT];  // of the open elements, outermost first
    int depth;
    PendingText text;  // of the open Data or EventID element
    char itemName[EVENT_XML_NAME_SIZE];
    bool itemNamed;
};

// What an element is, from its name and its parent's kind: only the
// elements at their places in a rendering count.
static int KindOf(int depth, int parent, const WCHAR* name, UINT length) {
    if (depth == 0) return IsName(name, length, L"Event") ? NODE_EVENT : NODE_OTHER;
    if (parent == NODE_EVENT && IsName(name, length, L"System")) return NODE_SYSTEM;
    if (parent == NODE_EVENT && IsName(name, length, L"EventData")) return NODE_EVENT_DATA;
    if (parent == NODE_SYSTEM && IsName(name, length, L"EventID")) return NODE_EVENT_ID;
    if (parent == NODE_EVENT_DATA && IsName(name, length, L"Data")) return NODE_DATA;
    return NODE_OTHER;
}

static int InnermostKind(const XmlWalk* walk) {
    return walk->depth > 0 && walk->depth <= XML_DEPTH_LIMIT ? walk->kinds[walk->depth - 1] : NODE_OTHER;
}

static void EndItem(EventXml* out, XmlWalk* walk) {
    if (!walk->itemNamed || out->itemCount >= EVENT_XML_ITEMS) return;
    EventXmlItem* item = &out->items[out->itemCount++];
    memcpy(item->name, walk->itemName, sizeof(item->name));
    item->cut = !ToUtf8(walk->text.units, walk->text.count, item->value, sizeof(item->value)) || walk->text.overflow;
}

static void StartElement(IXmlReader* reader, EventXml* out, XmlWalk* walk) {
    const WCHAR* name = nullptr;
    UINT length = 0;
    if (FAILED(reader->GetLocalName(&name, &length))) length = 0;
    int parent = InnermostKind(walk);
    int kind = length ? KindOf(walk->depth, parent, name, length) : NODE_OTHER;
    bool empty = reader->IsEmptyElement() != FALSE;
    if (parent == NODE_SYSTEM && IsName(name, length, L"Provider")) {
        ReadAttribute(reader, L"Name", out->provider, sizeof(out->provider), nullptr);
    } else if (parent == NODE_SYSTEM && IsName(name, length, L"TimeCreated")) {
        char time[64];
        bool whole = false;
        if (ReadAttribute(reader, L"SystemTime", time, sizeof(time), &whole) && whole) {
            out->timeCreatedKnown = ParseEventTime(time, &out->timeCreated);
        }
    }
    if (kind == NODE_DATA || kind == NODE_EVENT_ID) {
        walk->text.count = 0;
        walk->text.overflow = false;
    }
    if (kind == NODE_DATA) {
        // A name cut to fit would match some other name.
        bool whole = false;
        walk->itemNamed = ReadAttribute(reader, L"Name", walk->itemName, sizeof(walk->itemName), &whole) && whole &&
                          walk->itemName[0];
    }
    if (empty) {
        // No end node follows a self-closing element.
        if (kind == NODE_DATA) EndItem(out, walk);
        return;
    }
    if (walk->depth < XML_DEPTH_LIMIT) walk->kinds[walk->depth] = kind;
    walk->depth++;
}

static void EndElement(EventXml* out, XmlWalk* walk) {
    int kind = InnermostKind(walk);
    if (walk->depth > 0) walk->depth--;
    if (kind == NODE_DATA) EndItem(out, walk);
    if (kind == NODE_EVENT_ID) out->eventId = ParseEventId(&walk->text);
}

bool ReadEventXml(const wchar_t* xml, size_t chars, EventXml* out) {
    memset(out, 0, sizeof(*out));
    out->eventId = -1;
    if (!BindXmlLite()) return false;
    if (chars > EVENT_XML_READ_LIMIT) chars = EVENT_XML_READ_LIMIT;
    // The rendering need not end in a terminator, and what follows one is not its.
    chars = xml ? wcsnlen(xml, chars) : 0;
    // The parser is given the record as UTF-8, converted once here: Wine 8's
    // parser loses its place in UTF-16 input past its first read of 8 KB (and
    // faults on a longer text), while UTF-8 reads whole there as on Windows.
    char* utf8 = static_cast<char*>(malloc(chars * 3 + 1));
    int bytes = utf8 && chars ? WideCharToMultiByte(CP_UTF8, 0, xml, (int)chars, utf8, (int)(chars * 3), nullptr,
                                                    nullptr)
                              : 0;
    ByteStream* stream = utf8 ? new (std::nothrow) ByteStream(utf8, bytes > 0 ? (size_t)bytes : 0) : nullptr;
    IUnknown* input = nullptr;
    IXmlReader* reader = nullptr;
    bool started = stream && SUCCEEDED(gCreateXmlReaderInput(stream, nullptr, CP_UTF8, FALSE, nullptr, &input)) &&
                   SUCCEEDED(gCreateXmlReader(__uuidof(IXmlReader), reinterpret_cast<void**>(&reader), nullptr)) &&
                   SUCCEEDED(reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit)) &&
                   SUCCEEDED(reader->SetInput(input));
    if (started) {
        XmlWalk* walk = new (std::nothrow) XmlWalk();
        XmlNodeType type = XmlNodeType_None;
        // Every node takes at least one byte: more nodes than bytes means a
        // parser going round in place.
        size_t nodes = 0;
        while (walk && nodes++ <= (size_t)bytes && reader->Read(&type) == S_OK) {
            if (type == XmlNodeType_Element) {
                StartElement(reader, out, walk);
            } else if (type == XmlNodeType_EndElement) {
                EndElement(out, walk);
            } else if (type == XmlNodeType_Text || type == XmlNodeType_CDATA || type == XmlNodeType_Whitespace) {
                int kind = InnermostKind(walk);
                const WCHAR* value = nullptr;
                UINT length = 0;
                if (FAILED(reader->GetValue(&value, &length)) || (length == 0 && type != XmlNodeType_CDATA)) {
                    // Only an empty CDATA section is an empty node; Wine 8's parser
                    // answers a text cut short by the input's end with empty text
                    // nodes, without end.
                    break;
                }
                if (kind == NODE_DATA || kind == NODE_EVENT_ID) AppendText(&walk->text, value, length);
            }
        }
        delete walk;
    }
    if (reader) {
        reader->SetInput(nullptr);
        reader->Release();
    }
    if (input) input->Release();
    if (stream) stream->Release();
    free(utf8);
    return started;
}

const EventXmlItem* FindEventXmlItem(const EventXml* record, const char* name) {
    if (!record || !name) return nullptr;
    for (int i = 0; i < record->itemCount && i < EVENT_XML_ITEMS; i++) {
        if (strcmp(record->items[i].name, name) == 0) return &record->items[i];
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Times: the fixed fields into a SYSTEMTIME; the platform checks the date and
// counts the days.

static WORD FieldValue(const char* digits, int count) {
    WORD value = 0;
    for (int i = 0; i < count; i++) value = (WORD)(value * 10 + (digits[i] - '0'));
    return value;
}

bool ParseEventTime(const char* text, long long* fileTime) {
    if (!text || !fileTime) return false;
    static const char kShape[] = "dddd-dd-ddTdd:dd:dd";
    for (int i = 0; kShape[i]; i++) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
    }
    SYSTEMTIME st;
    memset(&st, 0, sizeof(st));
    st.wYear = FieldValue(text, 4);
    st.wMonth = FieldValue(text + 5, 2);
    st.wDay = FieldValue(text + 8, 2);
    st.wHour = FieldValue(text + 11, 2);
    st.wMinute = FieldValue(text + 14, 2);
    st.wSecond = FieldValue(text + 17, 2);
    const char* p = text + sizeof(kShape) - 1;
    long long fraction = 0;  // in 100 ns; digits past the seventh are below the unit
    if (*p == '.') {
        int digits = 0;
        for (p++; *p >= '0' && *p <= '9'; p++, digits++) {
            if (digits < 7) fraction = fraction * 10 + (*p - '0');
        }
        if (digits == 0) return false;
        for (; digits < 7; digits++) fraction *= 10;
    }
    if (p[0] != 'Z' || p[1] != '\0') return false;
    FILETIME ft;
    SYSTEMTIME back;
    if (!SystemTimeToFileTime(&st, &ft) || !FileTimeToSystemTime(&ft, &back)) return false;
    // Read back, a date that was rolled over instead of refused shows (Wine
    // takes 2026-02-29 for 03-01).
    if (back.wYear != st.wYear || back.wMonth != st.wMonth || back.wDay != st.wDay || back.wHour != st.wHour ||
        back.wMinute != st.wMinute || back.wSecond != st.wSecond) {
        return false;
    }
    *fileTime = (long long)(((unsigned long long)ft.dwHighDateTime << 32) | ft.dwLowDateTime) + fraction;
    return true;
}
