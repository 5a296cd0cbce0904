// Every element type of model files: its name there and the function in its
// unit's file that reads it. A new element type is one line here.
// (Included twice by registry.cpp, with DVX_ELEMENT defined each time.)
DVX_ELEMENT("inertia", ReadInertia)
DVX_ELEMENT("damper", ReadDamper)
DVX_ELEMENT("spring", ReadSpring)
DVX_ELEMENT("torque_source", ReadTorqueSource)
DVX_ELEMENT("speed_source", ReadSpeedSource)
DVX_ELEMENT("brake", ReadBrake)
DVX_ELEMENT("clutch", ReadClutch)
DVX_ELEMENT("bearing_friction", ReadBearingFriction)
DVX_ELEMENT("speed_torque", ReadSpeedTorque)
DVX_ELEMENT("elasto_backlash", ReadElastoBacklash)
DVX_ELEMENT("engine", ReadEngine)
