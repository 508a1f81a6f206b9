// quarv-stamp --web: the web page folder that carries a firmware image, as the stamped updater
// carries one.
#pragma once

// True when the command line asks for a page (--web) rather than an updater.
bool web_publish_wanted(int argc, char** argv);
// Parses its own options and writes the folder; returns the exit status.
int web_publish_main(int argc, char** argv);
