"""The stress run needs root (network namespaces), Xvfb and a built tree (TAVRIX_BUILD_DIR)."""
