// The playing state of a player run: the list, the current song, and what the user asks for
// (next, previous, pause, seek, volume, pan, settings), moving on at each end of file with
// Stop between songs. No console or window I/O: a front end reads the state, calls Tick
// often, and is told of each change through the hooks.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "host/in_module.h"
#include "playback/file_info.h"

namespace player {

class Session {
public:
    Session(InModule* mod, std::vector<std::string> songs);

    // Stores the volume and pan and plays the first song the plug-in accepts.
    void Start();
    // The end-of-file message arrived: the next song starts at the next Tick.
    void EndOfFile();
    // Reads the position (the plug-in posts its end-of-file message from there) and, after an
    // end of file, moves on to the next song.
    void Tick();
    // Plays song `index` (or, when the plug-in refuses it, the next it accepts), whatever plays now.
    void Play(int index);
    void Next();
    // The song before the current one (the current one again when it is the first).
    void Previous();
    void TogglePause();
    void Seek(int delta_ms);
    void SeekTo(int ms); // clamped to the song
    void ChangeVolume(int delta);
    void ChangePan(int delta);
    void ShowSettings(HWND parent);
    // Stops the current song; nothing more plays.
    void Stop();

    bool Finished() const { return current_ < 0; }
    int Current() const { return current_; }
    int Count() const { return (int)songs_.size(); }
    const std::string& Song(int index) const { return songs_[index]; }
    const char* Title() const { return title_; } // as GetFileInfo gives it for the playing song
    int Position() const { return position_; }
    int Length() const { return length_; }
    bool Paused() const { return paused_; }
    int Volume() const { return volume_; }
    int Pan() const { return pan_; }
    int Played() const { return played_; }           // songs the plug-in accepted, each once
    int LastRefusal() const { return last_refusal_; } // Play's result for the last refused song

    // Hooks for the front end, each optional.
    std::function<void(int index)> on_start;
    std::function<void(int index, bool reached_end)> on_end; // before the song's Stop
    std::function<void(int index, int result)> on_refused;   // Play answered 1 or -1
    std::function<void(const std::string& call)> on_call;    // each call on the record that plays

private:
    // Plays the song at index or, when the plug-in refuses it, the next one in direction step.
    bool PlayFrom(int index, int step);
    void EndSong(bool reached_end);
    void Call(const std::string& text);

    InModule* mod_;
    std::vector<std::string> songs_;
    int current_ = -1;
    bool end_of_file_ = false;
    bool paused_ = false;
    int position_ = 0, length_ = 0;
    int volume_ = 255, pan_ = 0;
    std::vector<bool> accepted_;
    int played_ = 0, last_refusal_ = 0;
    char title_[kTitleCapacity] = "";
};

} // namespace player
