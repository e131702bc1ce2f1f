// The playing state of a player run, on the plug-in's record.
#include "player/session.h"

#include <algorithm>

namespace player {

Session::Session(InModule* mod, std::vector<std::string> songs)
    : mod_(mod), songs_(std::move(songs)), accepted_(songs_.size(), false)
{
}

void Session::Call(const std::string& text)
{
    if (on_call)
        on_call(text);
}

void Session::Start()
{
    // Stored now, applied by Play when each song starts.
    mod_->SetVolume(volume_);
    mod_->SetPan(pan_);
    PlayFrom(0, 1);
}

bool Session::PlayFrom(int index, int step)
{
    for (; index >= 0 && index < Count(); index += step) {
        end_of_file_ = paused_ = false;
        Call("Play(" + songs_[index] + ")");
        int result = mod_->Play(songs_[index].c_str());
        Call("Play returned " + std::to_string(result));
        if (result == 0) {
            current_ = index;
            played_ += !accepted_[index];
            accepted_[index] = true;
            mod_->GetFileInfo("", title_, &length_);
            position_ = 0;
            if (on_start)
                on_start(index);
            return true;
        }
        last_refusal_ = result;
        if (on_refused)
            on_refused(index, result);
        // A refused URL may leave its temporary download for Stop to delete.
        Call("Stop()");
        mod_->Stop();
    }
    current_ = -1;
    return false;
}

void Session::EndSong(bool reached_end)
{
    if (on_end)
        on_end(current_, reached_end);
    // An end-of-file message still queued belongs to this song, not to the next one.
    MSG stale;
    while (PeekMessageA(&stale, mod_->main_window, kEndOfFileMessage, kEndOfFileMessage, PM_REMOVE)) {
    }
    Call("Stop()");
    mod_->Stop();
}

void Session::EndOfFile()
{
    if (current_ >= 0)
        end_of_file_ = true;
}

void Session::Tick()
{
    if (current_ < 0)
        return;
    position_ = mod_->GetPosition();
    if (!end_of_file_)
        return;
    position_ = length_;
    int next = current_ + 1;
    EndSong(true);
    PlayFrom(next, 1);
}

void Session::Play(int index)
{
    if (current_ >= 0)
        EndSong(false);
    PlayFrom(index, 1);
}

void Session::Next()
{
    if (current_ < 0)
        return;
    int next = current_ + 1;
    EndSong(false);
    PlayFrom(next, 1);
}

void Session::Previous()
{
    if (current_ < 0)
        return;
    int here = current_;
    EndSong(false);
    if (!PlayFrom(std::max(here - 1, 0), -1))
        PlayFrom(here, 1);
}

void Session::TogglePause()
{
    if (current_ < 0)
        return;
    if (mod_->IsPaused()) {
        Call("Resume()");
        mod_->Resume();
    } else {
        Call("Pause()");
        mod_->Pause();
    }
    paused_ = mod_->IsPaused() != 0;
}

void Session::Seek(int delta_ms)
{
    if (current_ < 0)
        return;
    SeekTo(mod_->GetPosition() + delta_ms);
}

void Session::SeekTo(int ms)
{
    if (current_ < 0)
        return;
    mod_->SetPosition(std::clamp(ms, 0, std::max(mod_->GetLength(), 0)));
    position_ = mod_->GetPosition();
}

void Session::ChangeVolume(int delta)
{
    volume_ = std::clamp(volume_ + delta, 0, 255);
    mod_->SetVolume(volume_);
}

void Session::ChangePan(int delta)
{
    pan_ = std::clamp(pan_ + delta, -127, 127);
    mod_->SetPan(pan_);
}

void Session::ShowSettings(HWND parent)
{
    mod_->ShowSettings(parent); // modal; the music plays on
}

void Session::Stop()
{
    if (current_ < 0)
        return;
    position_ = mod_->GetPosition();
    EndSong(false);
    current_ = -1;
}

} // namespace player
