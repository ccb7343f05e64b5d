-- Tovrelle: the camera service publishes the Tovrelle camera in PipeWire
-- itself. Its v4l2loopback device would otherwise appear there a second
-- time, as a V4L2 camera of the same name.
table.insert(v4l2_monitor.rules, {
  matches = {
    {
      { "device.product.name", "equals", "Tovrelle" },
    },
  },
  apply_properties = {
    ["device.disabled"] = true,
  },
})
