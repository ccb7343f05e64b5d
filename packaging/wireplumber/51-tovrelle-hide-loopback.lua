-- The Tovrelle camera service publishes its own PipeWire camera and writes the
-- same frames to the v4l2loopback device labelled "Tovrelle". Without this
-- rule WirePlumber would offer that device as a second camera.
table.insert(v4l2_monitor.rules, {
  matches = { { { "device.product.name", "equals", "Tovrelle" } } },
  apply_properties = { ["device.disabled"] = true },
})
