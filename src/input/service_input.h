// Input while the instrument is shared: the worker's half of the input stream's connection to the
// sharing service, which hands over every byte the instrument sends once input has started, each
// with the time it came in at. The worker keeps one read of the service's next frame outstanding
// (the stream's first read slot), and assembles, buffers and dates the bytes as it does the line's.
// These are the service's input calls of the stream's device (stream/device.h).
#pragma once

#include "input/input_stream.h"

// Asks the service for the instrument's input from now on, and reads it. A connection that fails
// is tried again when due (tendServiceLink).
void startServiceInput(InputStream& stream);
// Asks the service to stop handing input over. The frame read has ended.
void stopServiceInput(InputStream& stream);
// Cancels the frame read outstanding on the connection.
void cancelServiceReads(InputStream& stream);
// Takes in the frame the read brought, and reads the next.
void takeServiceInput(InputStream& stream);
// A connection that was lost while input runs is made again when due, and input asked for again.
void tendServiceLink(InputStream& stream, bool restOver);
