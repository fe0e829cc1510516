// placeholder until the Qt platform layer exists
