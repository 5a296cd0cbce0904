// Every element type of model files: its name there, the function in its
// unit's file that reads it, and its documentation in that file
// (element_doc.h). A new element type is its unit's file and one line here:
// the documents' tables are checked against its documentation, and the test
// of every element's Jacobian takes its examples.
// (Included by registry.cpp and element_doc.h, with DVX_ELEMENT defined each time.)
DVX_ELEMENT("inertia", ReadInertia, kInertiaDoc)
DVX_ELEMENT("damper", ReadDamper, kDamperDoc)
DVX_ELEMENT("spring", ReadSpring, kSpringDoc)
DVX_ELEMENT("torque_source", ReadTorqueSource, kTorqueSourceDoc)
DVX_ELEMENT("speed_source", ReadSpeedSource, kSpeedSourceDoc)
DVX_ELEMENT("brake", ReadBrake, kBrakeDoc)
DVX_ELEMENT("clutch", ReadClutch, kClutchDoc)
DVX_ELEMENT("bearing_friction", ReadBearingFriction, kBearingFrictionDoc)
DVX_ELEMENT("speed_torque", ReadSpeedTorque, kSpeedTorqueDoc)
DVX_ELEMENT("elasto_backlash", ReadElastoBacklash, kElastoBacklashDoc)
DVX_ELEMENT("engine", ReadEngine, kEngineDoc)
