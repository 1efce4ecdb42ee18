// The start-up steps that come before the window: single instance, the program's location,
// "launcher.ini" and the drawing resources.
#pragma once

#include <windows.h>

// Takes the named instance mutex into instance_mutex. While another launcher holds it, retries
// every 100 ms for about 2 seconds; false when it could not be taken.
bool take_instance_mutex();

// Gives the instance mutex up, so that a new launcher can start while this one closes; and takes
// it back, once, when that start failed. Only the window's thread calls these.
void release_instance_mutex();
bool retake_instance_mutex();

// Brings the window of the launcher that holds the mutex to the foreground, if there is one.
void bring_running_launcher_forward();

// Fills program_dir and program_file from the program's own path; false, filling nothing, when
// the path is too long for Windows' file functions.
bool find_program_location();

// Reads base_url, window_title, connections, the release floor and the public and backup keys
// from "launcher.ini" beside the program, saved as UTF-8 (with or without a byte order mark) or
// as UTF-16.
void read_configuration();

// Makes dark_brush, loads background_bitmap when "launcher.bmp" can be read, and makes the fonts.
void create_drawing_resources();
