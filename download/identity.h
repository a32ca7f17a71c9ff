#ifndef SETUP_DOWNLOAD_IDENTITY_H_
#define SETUP_DOWNLOAD_IDENTITY_H_

#include <string>

#include "display/display.h"
#include "platform/bundle.h"

// How the desktop knows the product's window. A bundle NAME.app gives the
// name NAME and the application id made of it (applicationIdFor), which is
// also the file name and StartupWMClass of the launcher scripts/make-bundle.sh
// writes beside the bundle, so that the desktop matches the window with the
// launcher's name and icon. The resource directory's icon.png, when there
// is one, is the window's own icon. A program outside an .app bundle is
// known by the toolkit's defaults.
DisplayIdentity bundleIdentity(const MainBundle& bundle);

// |name|'s ASCII letters in lower case and its digits, every other run of
// characters one "-", none at either end; "product" when nothing is left.
// scripts/make-bundle.sh makes the launcher's name the same way.
std::string applicationIdFor(const std::string& name);

#endif  // SETUP_DOWNLOAD_IDENTITY_H_
