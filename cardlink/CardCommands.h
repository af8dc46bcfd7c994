// The XML commands the station sends to its cards. Each is one complete XML
// document on one line, without a line end; %u is an unsigned decimal number
// and %s a text.
#pragma once

#include <cstdint>

constexpr const char* CMD_CONNECT =
    "<Message version=\"1.0\"><Command><Connect><Card serial-nr=\"%u\"/></Connect></Command>"
    "</Message>";
constexpr const char* CMD_SET_CODE_OQPSK =
    "<Message version=\"1.0\"><Command><Set><ParameterList><Parameter name=\"code\" "
    "value=\"%s\"/><Parameter name=\"modulation\" value=\"oqpsk\"/><Parameter name=\"input\" "
    "value=\"inp2\"/></ParameterList></Set></Command></Message>";
constexpr const char* CMD_SET_CODE_BPSK =
    "<Message version=\"1.0\"><Command><Set><ParameterList><Parameter name=\"code\" "
    "value=\"%s\"/><Parameter name=\"modulation\" value=\"bpsk\"/><Parameter name=\"input\" "
    "value=\"inp2\"/></ParameterList></Set></Command></Message>";
constexpr const char* CMD_SET_CONFIGURATION =
    "<Message version=\"1.0\"><Command><Set><Configuration "
    "information-indicators-interval-per-minute=\"0\"/></Set></Command></Message>";
constexpr const char* CMD_SET_ALS =
    "<Message version=\"1.0\"><Command><Set><ParameterList><Parameter name=\"als\" "
    "value=\"%s\"/></ParameterList></Set></Command></Message>";
constexpr const char* CMD_START_RESYNC =
    "<Message version=\"1.0\"><Command><Start item=\"resync\"/></Command></Message>";

constexpr const char* CODE_NO_MODE = "no-mode";
constexpr const char* ALS_OFF = "off";
constexpr const char* ALS_ANALOG = "analog";
constexpr const char* ALS_DIGITAL = "digital";
constexpr const char* ALS_FINISH = "finish";

constexpr int32_t MODE_SETUP_PAUSE_MS = 200;
constexpr int32_t COMMAND_BUFFER_SIZE = 4000;

constexpr const char* PORT_CORAX = "33254";
constexpr const char* PORT_CORAX_E = "33274";
constexpr const char* PORT_TARSA = "33284";
