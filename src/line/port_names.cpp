#include "line/port_names.h"

#include "platform/platform.h"

#include <initializer_list>

namespace {

constexpr char16_t devicePathPrefix[] = u"\\\\.\\";
constexpr size_t devicePathPrefixLength = sizeof devicePathPrefix / sizeof(char16_t) - 1;
constexpr char16_t portPrefix[] = u"COM";

char16_t upper(char16_t letter) {
    return letter >= u'a' && letter <= u'z' ? static_cast<char16_t>(letter - u'a' + u'A') : letter;
}

} // namespace

size_t copyText(const char16_t* text, char16_t* into, size_t capacity) {
    size_t at = 0;
    for (; text[at] != 0 && at + 1 < capacity; ++at) {
        into[at] = text[at];
    }
    into[at] = 0;
    return at;
}

void formatNumber(uint32_t number, char16_t (&text)[numberTextLength]) {
    size_t first = numberTextLength - 1;
    text[first] = 0;
    do {
        text[--first] = static_cast<char16_t>(u'0' + number % 10);
        number /= 10;
    } while (number != 0);
    copyText(text + first, text, numberTextLength);
}

void formatPortName(uint16_t portNumber, char16_t (&name)[portNameLength]) {
    char16_t digits[numberTextLength];
    formatNumber(portNumber, digits);
    size_t at = 0;
    for (const char16_t* part :
         {devicePathPrefix, portPrefix, static_cast<const char16_t*>(digits)}) {
        at += copyText(part, name + at, portNameLength - at);
    }
}

const char16_t* shortPortName(const char16_t (&name)[portNameLength]) {
    return name + devicePathPrefixLength;
}

bool parsePortName(const char16_t* name, uint16_t& portNumber) {
    size_t at = 0;
    for (; portPrefix[at] != 0; ++at) {
        if (upper(name[at]) != portPrefix[at]) {
            return false;
        }
    }
    uint32_t number = 0;
    size_t digitsAt = at;
    for (; name[at] >= u'0' && name[at] <= u'9' && number <= 0xFFFF; ++at) {
        number = number * 10 + (name[at] - u'0');
    }
    if (at == digitsAt || name[at] != 0 || number == 0 || number > 0xFFFF) {
        return false;
    }
    portNumber = static_cast<uint16_t>(number);
    return true;
}

void labelPort(uint16_t portNumber, bool present, char16_t (&label)[portLabelLength]) {
    char16_t name[portNameLength];
    formatPortName(portNumber, name);
    if (present && platform::serialPortFriendlyName(shortPortName(name), label, portLabelLength)) {
        return;
    }
    size_t at = copyText(shortPortName(name), label, portLabelLength);
    if (!present) {
        copyText(u" (not present)", label + at, portLabelLength - at);
    }
}

uint32_t addPortNumber(uint16_t* numbers, uint32_t count, uint16_t portNumber) {
    uint32_t at = 0;
    while (at < count && numbers[at] < portNumber) {
        ++at;
    }
    if (at < count && numbers[at] == portNumber) {
        return count;
    }
    for (uint32_t moved = count; moved > at; --moved) {
        numbers[moved] = numbers[moved - 1];
    }
    numbers[at] = portNumber;
    return count + 1;
}

uint32_t listSerialPorts(uint16_t first, uint16_t last, uint16_t* numbers, uint32_t capacity) {
    uint32_t count = 0;
    char16_t name[portNameLength];
    for (uint32_t entry = 0;
         count < capacity && platform::listedSerialPort(entry, name, portNameLength); ++entry) {
        uint16_t number = 0;
        if (!parsePortName(name, number) || number < first || number > last) {
            continue;
        }
        count = addPortNumber(numbers, count, number);
    }
    return count;
}
