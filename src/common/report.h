// The two text channels the service and the console runs speak through.
// Both take a fixed text and add nothing to it: no time stamp, no level, no
// line feed.
#pragma once

// Hands the text whole to the debug-output channel.
void trace(const wchar_t *text);

// Writes the text to standard output; the text is its own format, so it
// must not contain a percent sign.
void console(const wchar_t *text);
