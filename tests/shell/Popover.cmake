# The popover: its preview, its view and camera discovery on fakes (offscreen), and the whole
# popover against a test camera on a private PipeWire under Xvfb.
tovrelle_add_test(shell_popover_tests
  SOURCES PreviewRendererTest.cpp TrayPanelTest.cpp DiscoveryAndPermissionTest.cpp
  LIBS tovrelle_shell tovrelle_preview tovrelle_image_fixtures Qt6::Test)

tovrelle_add_test(shell_popover_desktop_tests
  SOURCES PopoverIntegrationTest.cpp
  LIBS tovrelle_shell tovrelle_preview tovrelle_testpattern Qt6::Test
  INTEGRATION TIMEOUT 180)
if(TARGET tovrelle-testcam)
  add_dependencies(shell_popover_desktop_tests tovrelle-testcam)
endif()
