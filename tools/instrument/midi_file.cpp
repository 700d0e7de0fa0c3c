#include "instrument/midi_file.h"

#include <cmath>
#include <smf.h>

bool loadMidiFile(const std::string& path, std::vector<TimedBytes>& events, std::string& error) {
    smf_t* smf = smf_load(path.c_str());
    if (smf == nullptr) {
        error = "cannot read " + path + " as a Standard MIDI File";
        return false;
    }
    // libsmf merges the tracks in time order and keeps each event whole: a status byte first,
    // SysEx from F0 to F7, so the bytes go out exactly as stored.
    while (smf_event_t* event = smf_get_next_event(smf)) {
        if (smf_event_is_metadata(event) || event->midi_buffer_length <= 0) {
            continue;
        }
        auto offsetUs = static_cast<int64_t>(std::llround(event->time_seconds * 1e6));
        events.push_back(TimedBytes{
            offsetUs, std::vector<uint8_t>(event->midi_buffer,
                                           event->midi_buffer + event->midi_buffer_length)});
    }
    smf_delete(smf);
    return true;
}
