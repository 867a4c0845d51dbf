# Sourced by the demos: lays out an update package's image and package.xml.
# demo_package DIR IMAGE_NAME IMAGE_BYTES VENDOR_VERSION DEVICE...
#   DEVICE is "vendorID deviceID subVendorID subDeviceID display text"; componentIDs count from 1.
demo_package() {
  local dir=$1 image=$2 bytes=$3 version=$4 component=0 vendor device subvendor subdevice display
  shift 4
  mkdir -p "$dir/payload"
  # A stand-in image: any bytes will do, the emulated firmware only checks how it arrives.
  { yes zevorided-demo-image || true; } | head -c "$bytes" >"$dir/payload/$image"
  {
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo "<SoftwareComponent vendorVersion=\"$version\">"
    echo '  <ComponentType value="FRMW"><Display lang="en">Firmware</Display></ComponentType>'
    echo '  <SupportedDevices>'
    for entry in "$@"; do
      read -r vendor device subvendor subdevice display <<<"$entry"
      component=$((component + 1))
      echo "    <Device componentID=\"$component\">"
      echo "      <PCIInfo vendorID=\"$vendor\" deviceID=\"$device\" subVendorID=\"$subvendor\" subDeviceID=\"$subdevice\"/>"
      echo "      <Display lang=\"en\">$display</Display>"
      echo '    </Device>'
    done
    echo '  </SupportedDevices>'
    echo '</SoftwareComponent>'
  } >"$dir/package.xml"
}
