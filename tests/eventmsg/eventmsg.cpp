// The test event source's message DLL holds only its message table
// (eventmsg.mc); it is loaded as data and none of its code runs.
