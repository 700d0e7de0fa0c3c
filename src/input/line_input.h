// Input from the serial line, while the process holds the port: the worker keeps eight reads
// issued on the line (the stream's read slots; one where the port does not serve its reads in
// turn), each taking what has arrived, takes their bytes strictly in the order the reads were
// issued, and picks the line up again when it failed or was opened anew by a sender.
// These are the line's input calls of the stream's device (stream/device.h).
#pragma once

#include "input/input_stream.h"

// Issues every read on the line that is up now.
void startLineInput(InputStream& stream);
// Nothing to tell anybody: the line's reads have ended.
void stopLineInput(InputStream& stream);
// Cancels the reads outstanding on the line they were issued on, unless it was closed since.
void cancelLineReads(InputStream& stream);
// Hands what the completed reads brought to the assembler, and issues each read again.
void takeLineInput(InputStream& stream);
// Issues again the reads that came back empty once `restOver`, and picks up a line in trouble,
// at most every reopenIntervalMs: an exclusive the loss cut comes back as a long error.
void tendLineInput(InputStream& stream, bool restOver);
