# Debian package of the install tree: `cpack -G DEB` in the build directory.
set(CPACK_PACKAGE_NAME vemo-chat)
set(CPACK_PACKAGE_VENDOR "Vemo")
set(CPACK_PACKAGE_CONTACT "Vemo developers <dev@vemo.so>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop team chat with calls, peer to peer")
set(CPACK_PACKAGE_DESCRIPTION
    "Channels, threads, mentions, attachments, voice and video calls and screen sharing.\n\
Conversations are kept on the user's devices and synchronised directly between them.")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from the binaries themselves (dpkg-shlibdeps); what the program
# loads at run time without linking to it is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, hicolor-icon-theme")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gstreamer1.0-pipewire, xdg-desktop-portal")
include(CPack)
