// ApplicationLayer: a layer of the application's own on a session screen: the input barrier that sits under
// the dialog layer while it is shown (one per screen), the sticky-key image and the watermark. The display
// side builds them through the hooks the program installs (ApplicationParts); the application only puts them
// on and takes them off its screens. Main thread only.
#pragma once

class SessionScreen;

class ApplicationLayer {
public:
    virtual ~ApplicationLayer() {}
    // The screen the layer is on; null while it is on none.
    virtual SessionScreen* attached_screen() = 0;
    // Puts the layer on the screen and places it for the screen's size.
    virtual void attach(SessionScreen& screen) = 0;
    // Takes the layer off its screen; the screen may go with its last reference.
    virtual void detach() = 0;
    // Shows or hides the sticky-key image; only the info layer has one.
    virtual void set_info_mode(bool show) {}
};
