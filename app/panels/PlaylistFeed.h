#pragma once
// What the scan panel asks of the playlist when a row resumes or lists a
// saved session: the one narrow way it reaches the playlist.

class ScanSession;
struct ScanResumePoint;

class PlaylistFeed {
public:
    // Saved fragments onto the playlist: with their own serials when the
    // playlist is empty, else numbered on from the window's counter.
    virtual void listSavedFragments(const ScanSession& session) = 0;
    // Rows a stop listed for fragments a resumed scan continues: they come
    // back when closed, so they are taken off and their serials given back.
    virtual void dropRowsContinuedBy(const ScanResumePoint& point) = 0;

protected:
    ~PlaylistFeed() = default;
};
