namespace plugin_sign {}
