// The compiled element dictionary against its rows as the protocol document tabulates
// them: id | class | trace name (when it differs) | tag and tag name | base | bytes | from |
// own behaviour. The behaviour text is read here by a small interpreter of its own, so a
// transcription slip in the dictionary shows up as a disagreement.
#include <gtest/gtest.h>

#include <cstring>
#include <array>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ctimsg/elementdict.h"
#include "ctimsg/elements.h"
#include "ctimsg/names.h"

namespace {

constexpr const char* kGoldenRows = R"(
1|InvokeID|||UINTElement|4||text hex
2|VersionNumber|||UINTElement|4||check 2-24, else 1
3|IdleTimeout|||UINTElement|4||
4|CTIPeripheralID|PeripheralID||UINTElement|4||text N/A
5|ServiceMask|||UINTElement|4||encoding and checks by version; text hex
6|CallMsgMask|||UINTElement|4||encoding and checks by version; text hex
7|AgentStateMask|||UINTElement|4||check < 0x4000, else 21; text hex
8|Reserved|||UINTElement|4||check must be 0, else 22; built present with 0
9|PGStatus|||UINTElement|4||text PGStatusText
10|PeripheralType|||USHORTElement|2||text PeripheralTypeName
11|CTIAgentState|AgentState||USHORTElement|2||text AgentStateName; family base
12|Status|||UINTElement|4||text StatusCodeName
13|NumCTIClients|||USHORTElement|2||
14|ConnectionCallID|||UINTElement|4||
15|CtiCallType|CallType||USHORTElement|2||check ≤ 45 or 0xFFFF, else 34; text CallTypeName
16|ConnectionDeviceIDType|||USHORTElement|2||check 0, 1 or 0xFFFF, else 33; text ConnectionDeviceIDTypeName; family base
17|ServiceNumber|||UINTElement|4||text N/A
18|ServiceID|||UINTElement|4||text N/A
19|AlertingDeviceType|||DeviceIDType|2||
20|CallingDeviceType|||DeviceIDType|2||
21|CalledDeviceType|||DeviceIDType|2||
22|LastRedirectDeviceType|||DeviceIDType|2||
23|LocalConnectionState|||USHORTElement|2||check ≤ 6 or 0xFFFF, else 28; text LocalConnectionStateName
24|EventCause|||USHORTElement|2||check 1-61, 1001-1066 or 0xFFFF, else 29; text EventCauseName
25|SkillGroupNumber|||UINTElement|4||text N/A
26|SkillGroupID|||UINTElement|4||text N/A
27|AnsweringDeviceType|||DeviceIDType|2||
28|HoldingDeviceType|||DeviceIDType|2||
29|RetrievingDeviceType|||DeviceIDType|2||
30|ReleasingDeviceType|||DeviceIDType|2||
31|FailingDeviceType|||DeviceIDType|2||
32|PrimaryDeviceIDType|||ConnectionDeviceIDType|2||
33|PrimaryCallID|||UINTElement|4||
34|NumParties|||USHORTElement|2||check ≤ 16, else 30
35|SecondaryDeviceIDType|||ConnectionDeviceIDType|2||
36|SecondaryCallID|||UINTElement|4||
37|ControllerDeviceType|||DeviceIDType|2||
38|AddedPartyDeviceType|||DeviceIDType|2||
39|TransferringDeviceType|||DeviceIDType|2||
40|TransferredDeviceType|||DeviceIDType|2||
41|DivertingDeviceType|||DeviceIDType|2||
42|StateDuration|||UINTElement|4||
43|QueueDeviceType|||DeviceIDType|2||
44|NumQueued|||USHORTElement|2||
45|SystemEventID|||UINTElement|4||check 1-11, else 31; text PGStatusEventName
46|SystemEventArg1|||UINTElement|4||text hex
47|SystemEventArg2|||UINTElement|4||text hex
48|SystemEventArg3|||UINTElement|4||text hex
49|LineHandle|||USHORTElement|2||text N/A at 255
50|LineTypeField|LineType||USHORTElement|2||check ≤ 11, else 41; text LineTypeName
51|NewConnectionCallID|||UINTElement|4||
52|NewConnectionDeviceIDType|||ConnectionDeviceIDType|2||check 0, 1 or 0xFFFF, else 33; text ConnectionDeviceIDTypeName
53|SkillGroupPriority|||USHORTElement|2||
54|ObjectState|||USHORTElement|2|3|check ≤ 2, else 38; text ObjectStateName
55|TrunkUsedDeviceType|||DeviceIDType|2|3|
56|FailureCode|||USHORTElement|2|3|text FailureCodeName
57|NumSkillGroups|||USHORTElement|2|3|encoding and checks by version
58|EventReasonCode|||USHORTElement|2|3|
59|ActiveConnCallID|||UINTElement|4|3|
60|ActiveConnDeviceIDType|||ConnectionDeviceIDType|2|3|
61|OtherConnCallID|||UINTElement|4|3|
62|OtherConnDeviceIDType|||ConnectionDeviceIDType|2|3|
63|HeldConnCallID|||UINTElement|4|3|
64|HeldConnDeviceIDType|||ConnectionDeviceIDType|2|3|
65|CallPlacementType|||USHORTElement|2|3|check ≤ 7, else 45; text CallPlacementTypeName
66|CallMannerType|||USHORTElement|2|3|check ≤ 4, else 44; text CallMannerTypeName
67|ConsultType|||USHORTElement|2|3|check ≤ 2, else 46; text ConsultTypeName
68|FacilityType|||USHORTElement|2|3|check ≤ 2, else 47; text FacilityTypeName
69|Priority|||BOOLElement|2|3|
70|PostRoute|||BOOLElement|2|3|
71|Reservation|||BOOLElement|2|3|
72|AlertRings|||USHORTElement|2|5|
74|AnsweringMachine|||USHORTElement|2|3|check ≤ 5, else 43; text AnsweringMachineName
75|AllocationState|||USHORTElement|2|3|check ≤ 1, else 42; text AllocationStateName
76|TypeOfDevice|||USHORTElement|2|3|text TypeOfDeviceName
77|ClassOfDevice|||USHORTElement|2|3|text ClassOfDeviceName
78|NumLines|||USHORTElement|2|3|check ≤ 10, else 40
79|NumCallDevices|||USHORTElement|2|3|
80|NumCalls|||USHORTElement|2|3|
81|ToneDuration|||USHORTElement|2|3|
82|PauseDuration|||UINTElement|4|3|
83|SkillGroupState|||CTIAgentState|2||
84|QueryDeviceDataType|||USHORTElement|2||text QueryDeviceDataTypeName
85|PeripheralErrorCode|||UINTElement|4|3|
86|AgentWorkMode|||USHORTElement|2|3|check ≤ 4, else 50; text AgentWorkModeName
87|MonitorID|||UINTElement|4|5|
88|MonitoredDeviceType|||DeviceIDType|2|5|
89|CallOption|||USHORTElement|2|5|check ≤ 6, else 51; text CallOptionName
90|DestinationCountry|||USHORTElement|2|5|check ≤ 1, else 52; text DestinationCountryName
91|AnswerDetectMode|||USHORTElement|2|5|check ≤ 5, else 53; text AnswerDetectModeName
92|AnswerDetectTime|||USHORTElement|2|5|
93|AnswerDetectControl1|||UINTElement|4|5|
94|AnswerDetectControl2|||UINTElement|4|5|
95|ClientPort|||UINTElement|4|5|text hex
96|SessionID|||UINTElement|4|5|text hex
97|PeripheralOnline|||BOOLElement|2|5|
98|Distribution|||USHORTElement|2|6|check ≤ 3, else 71; text DistributionName
99|CallsQNow|||UINTElement|4|6|
100|CallsQTimeNow|||UINTElement|4|6|
101|LongestCallQNow|||UINTElement|4|6|
102|AvailTimeToHalf|||UINTElement|4|6|
103|LoggedOnTimeToHalf|||UINTElement|4|6|
104|NotReadyTimetoHalf|||UINTElement|4|6|
105|AgentOutCallsToHalf|||UINTElement|4|6|
106|AgentOutCallsTalkTimeToHalf|||UINTElement|4|6|
107|AgentOutCallsTimeToHalf|||UINTElement|4|6|
108|AgentOutCallsHeldToHalf|||UINTElement|4|6|
109|AgentOutCallsHeldTimeToHalf|||UINTElement|4|6|
110|HandledCallsToHalf|||UINTElement|4|6|
111|HandledCallsTalkTimeToHalf|||UINTElement|4|6|
112|HandledCallsTimeToHalf|||UINTElement|4|6|
113|IncomingCallsHeldToHalf|||UINTElement|4|6|
114|IncomingCallsHeldTimeToHalf|||UINTElement|4|6|
115|InternalCallsRcvdToHalf|||UINTElement|4|6|
116|InternalCallsRcvdTimeToHalf|||UINTElement|4|6|
117|InternalCallsHeldToHalf|||UINTElement|4|6|
118|InternalcallsHeldTimeToHalf|||UINTElement|4|6|
119|CallsQHalf|||UINTElement|4|6|
120|CallsQTimeHalf|||UINTElement|4|6|
121|LongestCallQHalf|||UINTElement|4|6|
122|AvailTimeToday|||UINTElement|4|6|
123|LoggedOnTimeToday|||UINTElement|4|6|
124|NotReadyTimeToday|||UINTElement|4|6|
125|AgentOutCallsToday|||UINTElement|4|6|
126|AgentOutCallsTalkTimeToday|||UINTElement|4|6|
127|AgentOutCallsTimeToday|||UINTElement|4|6|
128|AgentOutCallsHeldToday|||UINTElement|4|6|
129|AgentOutCallsHeldTimeToday|||UINTElement|4|6|
130|HandledCallsToday|||UINTElement|4|6|
131|HandledCallsTalkTimeToday|||UINTElement|4|6|
132|HandledCallsTimeToday|||UINTElement|4|6|
133|IncomingCallsHeldToday|||UINTElement|4|6|
134|IncomingCallsHeldTimeToday|||UINTElement|4|6|
135|InternalCallsRecvdToday|||UINTElement|4|6|
136|InternalCallsRecvdTimeToday|||UINTElement|4|6|
137|InternalCallsHeldToday|||UINTElement|4|6|
138|InternalCallsHeldTimeToday|||UINTElement|4|6|
139|CallsQToday|||UINTElement|4|6|
140|CallsQTimeToday|||UINTElement|4|6|
141|LongestCallQToday|||UINTElement|4|6|
142|AvailTimeSession|||UINTElement|4|6|
143|LoggedOnTimeSession|||UINTElement|4|6|
144|NotReadyTimeSession|||UINTElement|4|6|
145|AgentOutCallsSession|||UINTElement|4|6|
146|AgentOutCallsTalkTimeSession|||UINTElement|4|6|
147|AgentOutCallsTimeSession|||UINTElement|4|6|
148|AgentOutCallsHeldSession|||UINTElement|4|6|
149|AgentOutCallsHeldTimeSession|||UINTElement|4|6|
150|HandledCallsSession|||UINTElement|4|6|
151|HandledCallsTalkTimeSession|||UINTElement|4|6|
152|HandledCallsTimeSession|||UINTElement|4|6|
153|IncomingCallsHeldSession|||UINTElement|4|6|
154|IncomingCallsHeldTimeSession|||UINTElement|4|6|
155|InternalCallsSession|||UINTElement|4|6|
156|InternalCallsTimeSession|||UINTElement|4|6|
157|InternalCallsRecvdSession|||UINTElement|4|6|
158|InternalCallsRcvdTimeSession|||UINTElement|4|6|
159|InternalCallsHeldSession|||UINTElement|4|6|
160|InternalCallsHeldTimeSession|||UINTElement|4|6|
161|InternalCallsToday|||UINTElement|4|6|
162|InternalCallsTimeToday|||UINTElement|4|6|
163|NumNamedVariables|||USHORTElement|2|6|
164|NumNamedArrays|||USHORTElement|2|6|
165|HandledCallsAfterCallTimeSession|||UINTElement|4|6|
166|HandledCallsAfterCallTimeToHalf|||UINTElement|4|6|
167|HandledCallsAfterCallTimeToday|||UINTElement|4|6|
168|MaxActiveCalls|||USHORTElement|2|6|
169|MaxHeldCalls|||USHORTElement|2|6|
170|MaxDevicesInConference|||USHORTElement|2|6|
171|TransferConferenceSetup|||UINTElement|4|6|check < 0x100, else 60; text hex
172|CallControlSupported|||UINTElement|4|6|check < 0x200000, else 58; text hex
173|OtherFeaturesSupported|||UINTElement|4|6|check ≤ 3, else 59; text hex
174|CCTimestamp|||UINTElement|4||text time stamp
175|CallVariableMask|||USHORTElement|2|6|check < 0x400, else 69; text hex
176|CalledPartyDisposition|||USHORTElement|2|8|check ≤ 66, else 81; text CalledPartyDispositionName
177|AgentsLoggedOn|||UINTElement|4|8|
178|AgentsAvail|||UINTElement|4|8|
179|AgentsNotReady|||UINTElement|4|8|
180|AgentsReady|||UINTElement|4|8|
181|AgentsTalkingIn|||UINTElement|4|8|
182|AgentsTalkingOut|||UINTElement|4|8|
183|AgentsTalkingOther|||UINTElement|4|8|
184|AgentsWorkNotReady|||UINTElement|4|8|
185|AgentsWorkReady|||UINTElement|4|8|
186|AgentsBusyOther|||UINTElement|4|8|
187|AgentsReserved|||UINTElement|4|8|
188|AgentsHold|||UINTElement|4|8|
189|AvailTimeTo5|||UINTElement|4|8|
190|LoggedOnTimeTo5|||UINTElement|4|8|
191|NotReadyTimeTo5|||UINTElement|4|8|
192|AgentOutCallsTo5|||UINTElement|4|8|
193|AgentOutCallsTalkTimeTo5|||UINTElement|4|8|
194|AgentOutCallsTimeTo5|||UINTElement|4|8|
195|AgentOutCallsHeldTo5|||UINTElement|4|8|
196|AgentOutCallsHeldTimeTo5|||UINTElement|4|8|
197|HandledCallsTo5|||UINTElement|4|8|
198|HandledCallsTalkTimeTo5|||UINTElement|4|8|
199|HandledCallsAfterCallTimeTo5|||UINTElement|4|8|
200|HandledCallsTimeTo5|||UINTElement|4|8|
201|IncomingCallsHeldTo5|||UINTElement|4|8|
202|IncomingCallsHeldTimeTo5|||UINTElement|4|8|
203|InternalCallsRcvdTo5|||UINTElement|4|8|
204|InternalCallsRcvdTimeTo5|||UINTElement|4|8|
205|InternalCallsHeldTo5|||UINTElement|4|8|
206|InternalCallsHeldTimeTo5|||UINTElement|4|8|
207|CallsQ5|||UINTElement|4|8|
208|CallsQTime5|||UINTElement|4|8|
209|LongestCallQ5|||UINTElement|4|8|
210|SupervisoryAction|||USHORTElement|2|8|check ≤ 4, else 82
211|TeamID|||UINTElement|4|8|
212|NumberOfAgents|||USHORTElement|2|8|
213|ConfigOperation|||USHORTElement|2||
214|RTPDirection|||USHORTElement|2|7|check ≤ 2, else 79
215|RTPType|||USHORTElement|2|7|check ≤ 2, else 80
216|BitRate|||UINTElement|4|7|
217|EchoCancellation|||USHORTElement|2|7|
218|PacketSize|||UINTElement|4|7|
219|PayloadType|payloadType||USHORTElement|2|7|
220|AgentConnectionCallID|||UINTElement|4||
221|AgentConnectionDeviceIDType|||ConnectionDeviceIDType|2||check 0, 1 or 0xFFFF, else 33; text ConnectionDeviceIDTypeName
222|SupervisorConnectionCallID|||UINTElement|4||
223|SupervisorConnectionDeviceIDType|||ConnectionDeviceIDType|2||check 0, 1 or 0xFFFF, else 33; text ConnectionDeviceIDTypeName
224|DeckSettingsMask|DeskSettingsMask||UINTElement|4|8|
225|WarpupDataIncomingMode|||UINTElement|4|8|
226|WarpupDataOutgoingMode|||UINTElement|4|8|
227|LogoutNonActivityTime|||UINTElement|4|8|
228|QualityRecordingRate|||UINTElement|4|8|
229|RingNoAnswerTime|||UINTElement|4|8|
230|WorkModeTimer|||UINTElement|4|8|
231|RingNoAnswerDNId|||UINTElement|4|8|
232|NumberOfAgentTeams|||USHORTElement|2|8|
233|More|||USHORTElement|2|8|
234|LatSupervisorID|||UINTElement|4|8|
235|SilentMonitorWarningMessage|||UINTElement|4|8|
236|SilentMonitorAudibleIndication|||UINTElement|4|8|
237|SupervisorAssistCallMethod|||UINTElement|4|8|
238|EmergencyCallMethod|||UINTElement|4|8|
239|AutoRecordOnEmergency|||UINTElement|4|8|
240|RecordingMode|||UINTElement|4|8|
241|SegmentNumber|||USHORTElement|2|8|
242|AutoOutCallsSession|||UINTElement|4|8|
243|AutoOutCallsTalkTimeSession|||UINTElement|4|8|
244|AutoOutCallsTimeSession|||UINTElement|4|8|
245|AutoOutCallsHeldSession|||UINTElement|4|8|
246|AutoOutCallsHeldTimeSession|||UINTElement|4|8|
247|AutoOutCallsToday|||UINTElement|4|8|
248|AutoOutCallsTalkTimeToday|||UINTElement|4|8|
249|AutoOutCallsTimeToday|||UINTElement|4|8|
250|AutoOutCallsHeldToday|||UINTElement|4|8|
251|AutoOutCallsHeldTimeToday|||UINTElement|4|8|
252|AutoOutCallsToHalf|||UINTElement|4|8|
253|AutoOutCallsTalkTimeToHalf|||UINTElement|4|8|
254|AutoOutCallsTimeToHalf|||UINTElement|4|8|
255|AutoOutCallsHeldToHalf|||UINTElement|4|8|
256|AutoOutCallsHeldTimeToHalf|||UINTElement|4|8|
257|AutoOutCallsTo5|||UINTElement|4|8|
258|AutoOutCallsTalkTimeTo5|||UINTElement|4|8|
259|AutoOutCallsTimeTo5|||UINTElement|4|8|
260|AutoOutCallsHeldTo5|||UINTElement|4|8|
261|AutoOutCallsHeldTimeTo5|||UINTElement|4|8|
262|PreviewCallsSession|||UINTElement|4|8|
263|PreviewCallsTalkTimeSession|||UINTElement|4|8|
264|PreviewCallsTimeSession|||UINTElement|4|8|
265|PreviewCallsHeldSession|||UINTElement|4|8|
266|PreviewCallsHeldTimeSession|||UINTElement|4|8|
267|PreviewCallsToday|||UINTElement|4|8|
268|PreviewCallsTalkTimeToday|||UINTElement|4|8|
269|PreviewCallsTimeToday|||UINTElement|4|8|
270|PreviewCallsHeldToday|||UINTElement|4|8|
271|PreviewCallsHeldTimeToday|||UINTElement|4|8|
272|PreviewCallsToHalf|||UINTElement|4|8|
273|PreviewCallsTalkTimeToHalf|||UINTElement|4|8|
274|PreviewCallsTimeToHalf|||UINTElement|4|8|
275|PreviewCallsHeldToHalf|||UINTElement|4|8|
276|PreviewCallsHeldTimeToHalf|||UINTElement|4|8|
277|PreviewCallsTo5|||UINTElement|4|8|
278|PreviewCallsTalkTimeTo5|||UINTElement|4|8|
279|PreviewCallsTimeTo5|||UINTElement|4|8|
280|PreviewCallsHeldTo5|||UINTElement|4|8|
281|PreviewCallsHeldTimeTo5|||UINTElement|4|8|
282|ReserveCallsSession|||UINTElement|4|8|
283|ReserveCallsTalkTimeSession|||UINTElement|4|8|
284|ReserveCallsTimeSession|||UINTElement|4|8|
285|ReserveCallsHeldSession|||UINTElement|4|8|
286|ReserveCallsHeldTimeSession|||UINTElement|4|8|
287|ReserveCallsToday|||UINTElement|4|8|
288|ReserveCallsTalkTimeToday|||UINTElement|4|8|
289|ReserveCallsTimeToday|||UINTElement|4|8|
290|ReserveCallsHeldToday|||UINTElement|4|8|
291|ReserveCallsHeldTimeToday|||UINTElement|4|8|
292|ReserveCallsToHalf|||UINTElement|4|8|
293|ReserveCallsTalkTimeToHalf|||UINTElement|4|8|
294|ReserveCallsTimeToHalf|||UINTElement|4|8|
295|ReserveCallsHeldToHalf|||UINTElement|4|8|
296|ReserveCallsHeldTimeToHalf|||UINTElement|4|8|
297|ReserveCallsTo5|||UINTElement|4|8|
298|ReserveCallsTalkTimeTo5|||UINTElement|4|8|
299|ReserveCallsTimeTo5|||UINTElement|4|8|
300|ReserveCallsHeldTo5|||UINTElement|4|8|
301|ReserveCallsHeldTimeTo5|||UINTElement|4|8|
302|BargeInCallsSession|||UINTElement|4|8|
303|BargeInCallsToday|||UINTElement|4|8|
304|BargeInCallsToHalf|||UINTElement|4|8|
305|BargeInCallsTo5|||UINTElement|4|8|
306|InterceptCallsSession|||UINTElement|4|8|
307|InterceptCallsToday|||UINTElement|4|8|
308|InterceptCallsToHalf|||UINTElement|4|8|
309|InterceptCallsTo5|||UINTElement|4|8|
310|MonitorCallsSession|||UINTElement|4|8|
311|MonitorCallsToday|||UINTElement|4|8|
312|MonitorCallsToHalf|||UINTElement|4|8|
313|MonitorCallsTo5|||UINTElement|4|8|
314|WhisperCallsSession|||UINTElement|4|8|
315|WhisperCallsToday|||UINTElement|4|8|
316|WhisperCallsToHalf|||UINTElement|4|8|
317|WhisperCallsTo5|||UINTElement|4|8|
318|EmergencyCallsSession|||UINTElement|4|8|
319|EmergencyCallsToday|||UINTElement|4|8|
320|EmergencyCallsToHalf|||UINTElement|4|8|
321|EmergencyCallsTo5|||UINTElement|4|8|
322|AgentsTalkingAutoOut|||UINTElement|4|8|
323|AgentsTalkingPreview|||UINTElement|4|8|
324|AgentsTalkingReservation|||UINTElement|4|8|
325|RouterCallsQNow|||UINTElement|4|8|
326|ServerMode|||USHORTElement|2|8|
327|RegisteredServiceID|||UINTElement|4|8|
328|ServerData|||UINTElement|4|8|
329|LongestRouterCallQNow|||UINTElement|4|8|
330|CampaignID|||UINTElement|4|8|
331|QueryRuleID|||UINTElement|4|8|
332|ARMStatus|||UINTElement|4||text ARMStatusName
333|TaskID|||TaskIDType|12|9|
334|MRDID|||INTElement|4|9|
335|ZURAgentID|||INTElement|4|9|
336|AgentMode|||USHORTElement|2|9|
337|IsAvailable|||BOOLElement|2|9|
338|MaxTaskLimit|||UINTElement|4|9|
339|MaxTasks|||UINTElement|4|9|
340|MakeRoutable|||BOOLElement|2|9|
341|Reason|||INTElement|4|9|
342|PreviousZURTaskID|||TaskIDType|12|9|
343|ZURDisposition|||USHORTElement|2|9|
344|ApplicationDisposition|||USHORTElement|2|9|
345|DoThisWithTaskOnTheWay|||BOOLElement|2|9|
346|IsInterrupted|||BOOLElement|2|9|
347|InterruptingMRDID|||INTElement|4|9|
348|InterruptingInvokeID|||UINTElement|4|9|
349|IsNotReady|||BOOLElement|2|9|
350|AvailableDuration|||UINTElement|4|9|
351|NumTasks|||UINTElement|4|9|
352|Paused|||BOOLElement|2|9|
353|TaskState|||UINTElement|4|9|
354|OfferDuration|||UINTElement|4|9|
355|BeginDuration|||UINTElement|4|9|
356|InterruptDuration|||UINTElement|4|9|
357|WrapupDuration|||UINTElement|4|9|
358|ReadyCount|||USHORTElement|2|9|
359|Type|||UINTElement|4|9|
360|ARMServiceID|||INTElement|4||text N/A
361|ARMSkillGroupID|||INTElement|4||text N/A
362|ApplicationRouted|||BOOLElement|2|9|
363|TaskMsgMask|||UINTElement|4|9|encoding and checks by version; text hex
364|LogonDuration|||UINTElement|4|9|
365|NotReadyDuration|NotReadyduration||UINTElement|4|9|
366|RoutableDuration|||UINTElement|4|9|
367|AgentsApplicationAvailable|||UINTElement|4|9|
368|AgentAvailabilityStatus|||UINTElement|4|9|
369|ZURAvailableTimeSession|||UINTElement|4|9|
370|RoutableTimeSession|||UINTElement|4|9|
371|ZURAvailableTimeToday|||UINTElement|4|9|
372|RoutableTimeToday|||UINTElement|4|9|
373|AgentsZURAvailable|||UINTElement|4|9|
374|ConfigKeyStatus|||UINTElement|4|10|text ConfigKeyStatusName
375|ConfigMsgMask|||UINTElement|4|10|check < 0x400, else 95; text hex
376|ConfigurationInformation|||UINTElement|4|10|text ConfigInformationText
377|ConfigType|||USHORTElement|2|10|text ConfigTypeName
378|ConfigEndStatus|||UINTElement|4|10|text ConfigEndStatusName
379|NumRecords|||USHORTElement|2|3|
380|RoutingCrossRefID|||UINTElement|4|10|
381|RouteEndStatus|||UINTElement|4|10|
382|UpdateType|||UCHARElement|1|10|
384|ForcedFlag|||UCHARElement|1|10|
385|RouteRegisterCause|||UINTElement|4|10|
386|NumQueues|||USHORTElement|2|10|
387|LoggedInAgents|||USHORTElement|2|10|
388|InSessionAgents|||USHORTElement|2|10|
389|AvailableAgents|||USHORTElement|2|10|
390|UnAvailableAgents|||USHORTElement|2|10|
391|InWorkAgents|||USHORTElement|2|10|
392|SelectedAgents|||USHORTElement|2|10|
393|CallsInPriorityQueue1|||UINTElement|4|10|
394|CallsInPriorityQueue2|||UINTElement|4|10|
395|CallsInPriorityQueue3|||UINTElement|4|10|
396|CallsInPriorityQueue4|||UINTElement|4|10|
397|CallsInPriorityQueue5|||UINTElement|4|10|
398|CallsInPriorityQueue6|||UINTElement|4|10|
399|CallsInPriorityQueue7|||UINTElement|4|10|
400|CallsInPriorityQueue8|||UINTElement|4|10|
401|CallsInPriorityQueue9|||UINTElement|4|10|
402|CallsInPriorityQueue10|||UINTElement|4|10|
403|StartTime|||UINTElement|4|10|text time stamp
404|EndTime|||UINTElement|4|10|text time stamp
405|TotalCalls|||UINTElement|4|10|
406|CallsInQueue|||UINTElement|4|10|
407|OldestCallInQueue|||UINTElement|4|10|
408|CallsAbandoned|||UINTElement|4|10|
409|CallsDequeued|||UINTElement|4|10|
410|AverageTalkDuration|||UINTElement|4|10|
411|AverageWaitDuration|||UINTElement|4|10|
412|LongestTalkDuration|||UINTElement|4|10|
413|LongestWaitDuration|||UINTElement|4|10|
414|SnapshotDeviceType|||DeviceIDType|2|10|
415|TeamConfigParam|||USHORTElement|2|10|
416|TeamConfigKey|||UNSPECElement|8|10|always 8 bytes
417|NumFltSkillGroups|||USHORTElement|2|10|
418|EventDeviceType|||DeviceIDType|2|10|
419|CallTypeID|||UINTElement|4|11|
420|AgentServiceReq|||UINTElement|4|12|
421|EventCode|||USHORTElement|2|15|check ≤ 2, else 99; text AgentGreetingEventName
422|AgentAction|||USHORTElement|2|15|check ≤ 2, else 100; text AgentActionName
423|DepartmentID|||INTElement|4|19|
424|AgentSkillTargetID|||UINTElement|4|20|
425|RecordFailureCause|||USHORTElement|2|23|
426|RecordingType|||USHORTElement|2|23|check ≤ 4, else 106
427|MediaForkingDeviceType|||USHORTElement|2|23|check ≤ 2, else 103
428|RecordingDeviceType|||USHORTElement|2|23|
429|SessionType|||USHORTElement|2|24|
430|MaintenanceModeAccepted|||BOOLElement|2|24|
431|MaintenanceModeStatus|||BOOLElement|2|24|
432|ClientID||1 CLIENT_ID_TAG|STRINGElement|64||check not empty, else 23
433|ClientPassword||2 CLIENT_PASSWORD_TAG|UNSPECElement|32||never traced
434|ClientSignature||3 CLIENT_SIGNATURE_TAG|STRINGElement|64||
435|AgentExtension||4 AGENT_EXTENSION_TAG|STRINGElement|16||check digits only, else 24
436|AgentID||5 AGENT_ID_TAG|STRINGElement|12||own trace flag
437|AgentInstrument||6 AGENT_INSTRUMENT_TAG|STRINGElement|64||encoding and checks by version
438|ANIField|ANI|8 ANI_TAG|STRINGElement|40||
439|UserToUserField|UserToUser|9 UUI_TAG|UNSPECElement|131||
440|DNISField|DNIS|10 DNIS_TAG|STRINGElement|32||
441|DialedNumberField|DialedNumber|11 DIALED_NUMBER_TAG|STRINGElement|40||
442|CEDField|CED|12 CED_TAG|STRINGElement|40||
443|CallVariable1||13 CALL_VARIABLE_1_TAG|STRINGElement|41||
444|CallVariable2||14 CALL_VARIABLE_2_TAG|STRINGElement|41||
445|CallVariable3||15 CALL_VARIABLE_3_TAG|STRINGElement|41||
446|CallVariable4||16 CALL_VARIABLE_4_TAG|STRINGElement|41||
447|CallVariable5||17 CALL_VARIABLE_5_TAG|STRINGElement|41||
448|CallVariable6||18 CALL_VARIABLE_6_TAG|STRINGElement|41||
449|CallVariable7||19 CALL_VARIABLE_7_TAG|STRINGElement|41||
450|CallVariable8||20 CALL_VARIABLE_8_TAG|STRINGElement|41||
451|CallVariable9||21 CALL_VARIABLE_9_TAG|STRINGElement|41||
452|CallVariable10||22 CALL_VARIABLE_10_TAG|STRINGElement|41||
453|CTIClientSignature||23 CTI_CLIENT_SIGNATURE_TAG|STRINGElement|64||
454|CTIClientTimestamp||24 CTI_CLIENT_TIMESTAMP_TAG|UINTElement|4||text time stamp
455|ConnectionDeviceID||25 CONNECTION_DEVID_TAG|STRINGElement|64||
456|AlertingDeviceID||26 ALERTING_DEVID_TAG|STRINGElement|64||
457|CallingDeviceID||27 CALLING_DEVID_TAG|STRINGElement|64||
458|CalledDeviceID||28 CALLED_DEVID_TAG|STRINGElement|64||
459|LastRedirectDeviceID||29 LAST_REDIRECT_DEVID_TAG|STRINGElement|64||
460|AnsweringDeviceID||30 ANSWERING_DEVID_TAG|STRINGElement|64||
461|HoldingDeviceID||31 HOLDING_DEVID_TAG|STRINGElement|64||
462|RetrievingDeviceID||32 RETRIEVING_DEVID_TAG|STRINGElement|64||
463|ReleasingDeviceID||33 RELEASING_DEVID_TAG|STRINGElement|64||
464|FailingDeviceID||34 FAILING_DEVID_TAG|STRINGElement|64||
465|PrimaryDeviceID||35 PRIMARY_DEVID_TAG|STRINGElement|64||
466|SecondaryDeviceID||36 SECONDARY_DEVID_TAG|STRINGElement|64||
467|ControllerDeviceID||37 CONTROLLER_DEVID_TAG|STRINGElement|64||
468|AddedPartyDeviceID||38 ADDED_PARTY_DEVID_TAG|STRINGElement|64||
469|ConnectedPartyCallID|PartyCallID|39 PARTY_CALLID_TAG|UINTElement|4||
470|ConnectedPartyDeviceIDType|PartyDeviceIDType|40 PARTY_DEVID_TYPE_TAG|ConnectionDeviceIDType|2||
471|ConnectedPartyDeviceID|PartyDeviceID|41 PARTY_DEVID_TAG|STRINGElement|64||
472|TransferringDeviceID||42 TRANSFERRING_DEVID_TAG|STRINGElement|64||
473|TransferredDeviceID||43 TRANSFERRED_DEVID_TAG|STRINGElement|64||
474|DivertingDeviceID||44 DIVERTING_DEVID_TAG|STRINGElement|64||
475|QueueDeviceID||45 QUEUE_DEVID_TAG|STRINGElement|64||
476|CallWrapupData||46 CALL_WRAPUP_DATA_TAG|STRINGElement|40||
477|CTIText|Text|7 TEXT_TAG|STRINGElement|255||
478|NewConnectionDeviceID||47 NEW_CONNECTION_DEVID_TAG|STRINGElement|64||
479|ObjectName||66 OBJECT_NAME_TAG|STRINGElement|128|3|
480|TrunkUsedDeviceID||48 TRUNK_USED_DEVID_TAG|STRINGElement|64|3|
481|FltSkillGroupNumber||62 SKILL_GROUP_NUMBER_TAG|INTElement|4|3|text N/A
482|FltSkillGroupID||63 SKILL_GROUP_ID_TAG|UINTElement|4|3|text N/A
483|FltSkillGroupPriority||64 SKILL_GROUP_PRIORITY_TAG|USHORTElement|2|3|
484|FltSkillGroupState||65 SKILL_GROUP_STATE_TAG|CTIAgentState|2|3|
485|AgentPassword||49 AGENT_PASSWORD_TAG|STRINGElement|64|3|
486|PositionID||68 POSITION_ID_TAG|STRINGElement|12|3|
487|SupervisorID||69 SUPERVISOR_ID_TAG|STRINGElement|12|3|
488|ActiveConnDeviceID||50 ACTIVE_CONN_DEVID_TAG|STRINGElement|64|3|
489|OtherConnDeviceID||52 OTHER_CONN_DEVID_TAG|STRINGElement|64|3|
490|HeldConnDeviceID||53 HELD_CONN_DEVID_TAG|STRINGElement|64|3|
491|FacilityCode||51 FACILITY_CODE_TAG|STRINGElement|40|3|
492|FltLineHandle||70 LINE_HANDLE_TAG|USHORTElement|2|3|
493|FltLineType||71 LINE_TYPE_TAG|USHORTElement|2|3|check ≤ 11, else 41; text LineTypeName
494|CallConnectionCallID||56 CALL_CONN_CALLID_TAG|UINTElement|4|3|
495|CallConnectionDeviceIDType||57 CALL_CONN_DEVID_TYPE_TAG|ConnectionDeviceIDType|2|3|
496|CallConnectionDeviceID||58 CALL_CONN_DEVID_TAG|STRINGElement|64|3|
497|CallDeviceType||59 CALL_DEVID_TYPE_TAG|DeviceIDType|2|3|
498|CallDeviceID||60 CALL_DEVID_TAG|STRINGElement|64|3|
499|CallDeviceConnState||61 CALL_DEV_CONN_STATE_TAG|USHORTElement|2|3|check ≤ 6 or 0xFFFF, else 28; text LocalConnectionStateName
499|CallState|CallDeviceConnState|61 CALL_DEV_CONN_STATE_TAG|USHORTElement|2|3|check ≤ 6 or 0xFFFF, else 28; text LocalConnectionStateName; element id 499, not 504
500|DTMFString||67 DTMF_STRING_TAG|STRINGElement|32|3|
501|RouterCallKeyDay||72 ROUTER_CALL_KEY_DAY_TAG|UINTElement|4|3|
502|RouterCallKeyCallID||73 ROUTER_CALL_KEY_CALLID_TAG|UINTElement|4|3|
503|QueryDeviceData|DataStructure|74 DATA_STRUCTURE_TAG|DataStructureField|892||2-byte length in every version
505|MonitoredDeviceID||76 MONITORED_DEVID_TAG|STRINGElement|64|5|
506|AuthorizationCode||77 AUTHORIZATION_CODE_TAG|STRINGElement|40|5|
507|AccountCode||78 ACCOUNT_CODE_TAG|STRINGElement|40|5|
508|OriginatingDeviceID||79 ORIGINATING_DEVICEID_TAG|STRINGElement|64|5|
509|OriginatingLineID||80 ORIGINATING_LINEID_TAG|STRINGElement|40|5|
510|ClientAddress||81 CLIENT_ADDRESS_TAG|STRINGElement|64|5|check not empty, else 23
511|ExpandedCallContxt||82 NAMED_VARIABLE_TAG, 83 NAMED_ARRAY_TAG|ECCElement|2500|6|structured
512|CallControlTable||84 CALL_CONTROL_TABLE|STRINGElement|40|5|
513|SupervisorInstrument||85 SUPERVISOR_INSTRUMENT_TAG|STRINGElement|64|8|
514|AtcAgentID||86 ATC_AGENT_ID_TAG|STRINGElement|12|8|
515|AgentFlags||87 AGENT_FLAGS_TAG|USHORTElement|2|8|
516|AtcAgentState||88 ATC_AGENT_STATE_TAG|USHORTElement|2|8|text AgentStateName
517|AtcStateDuration||89 ATC_STATE_DURATION_TAG|UINTElement|4|8|
518|AgentConnectionDeviceID||90 AGENT_CONNECTION_DEVID_TAG|STRINGElement|64||
519|SupervisorConnectionDeviceID||91 SUPERVISOR_CONNECTION_DEVID_TAG|STRINGElement|64||
520|ListTeamID||92 LIST_TEAM_ID_TAG|UINTElement|4|8|
521|DefaultDevicePortAddress||93 DEFAULT_DEVICE_PORT_ADDRESS_TAG|STRINGElement|32|8|
522|ServiceName||94 SERVICE_NAME_TAG|STRINGElement|64|8|
523|CustomerPhoneNumber||95 CUSTOMER_PHONE_NUMBER_TAG|STRINGElement|21|8|
524|CustomerAccountNumber||96 CUSTOMER_ACCOUNT_NUMBER_TAG|STRINGElement|31|8|
525|ApplicationPathID||97 APPLICATION_PATH_ID_TAG|INTElement|4|9|
526|ApplicationData||98 APPLICATION_DATA_TAG|STRINGElement|100|9|
527|ScriptSelector||99 SCRIPT_SELECTOR_TAG|STRINGElement|43|9|
528|ApplicationString1||100 APPLICATION_STRING1_TAG|STRINGElement|43|9|
529|ApplicationString2||101 APPLICATION_STRING2_TAG|STRINGElement|43|9|
530|AgentInfo||107 AGENT_INFO_TAG|STRINGElement|33|9|
531|WrapupData||108 WRAPUP_DATA_TAG|STRINGElement|40|9|
532|RouteSelected||109 ROUTE_SELECTED_TAG|STRINGElement|50|9|
533|RouterCallKeySequenceNum||110 ROUTER_CALL_KEY_SEQUENCE_NUM_TAG|UINTElement|4|9|
534|ApplicationText1||111 APPLICATION_TEXT1_TAG|STRINGElement|41||
535|ApplicationText2||112 APPLICATION_TEXT2_TAG|STRINGElement|41||
536|ApplicationText3||113 APPLICATION_TEXT3_TAG|STRINGElement|41||
537|ApplicationText4||114 APPLICATION_TEXT4_TAG|STRINGElement|41||
538|ApplicationText5||115 APPLICATION_TEXT5_TAG|STRINGElement|41||
539|ApplicationText6||116 APPLICATION_TEXT6_TAG|STRINGElement|41||
540|ApplicationText7||117 APPLICATION_TEXT7_TAG|STRINGElement|41||
541|ApplicationText8||118 APPLICATION_TEXT8_TAG|STRINGElement|41||
542|ApplicationText9||119 APPLICATION_TEXT9_TAG|STRINGElement|41||
543|ApplicationText10||120 APPLICATION_TEXT10_TAG|STRINGElement|41||
544|TrunkNumber||121 TRUNK_NUMBER_TAG|UINTElement|4|9|
545|TrunkGroupNumber||122 TRUNK_GROUP_NUMBER_TAG|UINTElement|4|9|
546|NextAgentState||123 NEXT_AGENT_STATE_TAG|USHORTElement|2|10|
547|SendingAddress||125 SENDING_ADDRESS_TAG|STRINGElement|64|10|
548|SendingPort||126 SENDING_PORT_TAG|UINTElement|4|10|
549|MaxQueued||129|UINTElement|4|10|tag without a name
550|QueueID||130 QUEUE_ID_TAG|INTElement|4|10|
551|CustomerID||131 CUSTOMER_ID_TAG|UINTElement|4|10|
552|ServiceSkillTargetID||132 SERVICE_SKILL_TARGET_ID_TAG|UINTElement|4|10|
553|PeripheralName||133 PERIPHERAL_NAME_TAG|STRINGElement|64|10|
554|Description||134 DESCRIPTION_TAG|STRINGElement|128|10|
557|FirstName||137 FIRST_NAME_TAG|STRINGElement|32|10|
558|LastName||138 LAST_NAME_TAG|STRINGElement|32|10|
560|FltAgentSkillTargetID||141 AGENT_SKILL_TARGET_ID_TAG|UINTElement|4|10|
567|CallDisposition||148 CALL_DISPOSITION_TAG|USHORTElement|2|13|
568|NetworkTime||149 NETWORK_TIME_TAG|UINTElement|4|13|
569|Duration||150 DURATION_TAG|UINTElement|4|10|
570|RingTime||151 RING_TIME_TAG|UINTElement|4|13|
571|DelayTime||152 DELAY_TIME_TAG|UINTElement|4|13|
572|TimeToAband||153 TIME_TO_ABAND_TAG|UINTElement|4|13|
573|HoldTime||154 HOLD_TIME_TAG|UINTElement|4|13|
574|TalkTime||155 TALK_TIME_TAG|UINTElement|4|13|
575|WorkTime||156 WORK_TIME_TAG|UINTElement|4|13|
576|LocalQTime||157 LOCAL_Q_TIME_TAG|UINTElement|4|13|
579|ConferenceTime||160 CONFERENCE_TIME_TAG|UINTElement|4|13|
582|TimeZone||163 TIME_ZONE_TAG|UINTElement|4|13|
584|InstrumentPortNumber||165 INSTRUMENT_PORT_NUMBER_TAG|UINTElement|4|13|
585|AgentPeripheralNumber||166 AGENT_PERIPHERAL_NUMBER_TAG|UINTElement|4|10|
590|SourceAgentPeripheralNumber||171 SOURCE_AGENT_PERIPHERAL_NUMBER_TAG|UINTElement|4|13|
592|Extension||173 EXTENSION_TAG|STRINGElement|16|10|check digits only, else 24
593|ServiceLevelThreshold||174 SERVICE_LEVEL_THRESHOLD_TAG|UINTElement|4|10|
594|ServiceLevelType||175 SERVICE_LEVEL_TYPE_TAG|UINTElement|4|10|
595|ConfigParam||176 CONFIG_PARAM_TAG|STRINGElement|128|10|
596|ServiceConfigKey||177 SERVICE_CONFIG_KEY_TAG|UNSPECElement|8|10|
597|SkillGroupConfigKey||178 SKILL_GROUP_CONFIG_KEY_TAG|UNSPECElement|8|10|
598|AgentConfigKey||179 AGENT_CONFIG_KEY_TAG|UNSPECElement|8|10|
599|DeviceConfigKey||180 DEVICE_CONFIG_KEY_TAG|UNSPECElement|8|10|
600|RecordType||183 RECORD_TYPE_TAG|USHORTElement|2|3|text ConfigRecordTypeName
601|PeripheralNumber||184 PERIPHERAL_NUMBER_TAG|UINTElement|4|10|
602|AutoWork||185 AUTO_WORK_TAG|BOOLElement|2|10|
603|NumServiceMembers||186 NUM_SERVICE_MEMBERS_TAG|USHORTElement|2|3|
604|ServiceMember||187 SERVICE_MEMBER_TAG|UINTElement|4|10|
605|ServicePriority||188 SERVICE_PRIORITY_TAG|USHORTElement|2|3|
606|AgentType||189 AGENT_TYPE_TAG|USHORTElement|2|3|text ConfigAgentTypeName
607|LoginID||190 LOGIN_ID_TAG|STRINGElement|64|10|
608|NumSkills||191 NUM_SKILLS_TAG|USHORTElement|2|3|
609|SkillGroupSkillTargetID||192 SKILL_GROUP_SKILL_TARGET_ID_TAG|UINTElement|4|10|
610|FltServiceID||193 SERVICE_ID_TAG|UINTElement|4||text N/A
611|AgentID_Long|AgentIDLong|194 AGENT_ID_LONG_TAG|STRINGElement|32|10|
611|AtcAgentID_Long|AgentIDLong|194 AGENT_ID_LONG_TAG|AgentID_Long|32|10|same element id as AgentID_Long
612|DeviceType||195 DEVICE_TYPE_TAG|USHORTElement|2|3|text ConfigDeviceTypeName
613|EnableFlag||198 ENABLE_FLAG_TAG|BOOLElement|2|10|
614|DeviceID||199 DEVICEID_TAG|STRINGElement|64|10|
615|Timeout||200 TIMEOUT_TAG|UINTElement|4|10|
616|CurrentRoute||201 CURRENT_ROUTE_TAG|STRINGElement|64|10|
617|SecondaryConnectionCallID||202 SECONDARY_CONNECTION_CALL_ID_TAG|UINTElement|4|10|
619|TeamName||204 TEAM_NAME_TAG|STRINGElement|50|10|
620|MemberType||205 MEMBER_TYPE_TAG|USHORTElement|2|10|
621|EventDeviceID||206 EVENT_DEVICE_ID_TAG|STRINGElement|64|10|
622|LoginName||207 LOGIN_NAME_TAG|STRINGElement|256|11|
623|FltPeripheralID||208 PERIPHERAL_ID_TAG|UINTElement|4|11|
624|CallTypeConfigKey||209 CALL_TYPE_CONFIG_KEY_TAG|UNSPECElement|8|11|
625|FltCallTypeID||210 CALL_TYPE_ID_TAG|UINTElement|4|11|
626|CustomerDefinitionID||211 CUSTOMER_DEFINITION_ID_TAG|UINTElement|4|11|
627|EnterpriseName||212 ENTERPRISE_NAME_TAG|STRINGElement|33|10|
628|OldPeripheralNumber||213 OLD_PERIPHERAL_NUMBER_TAG|UINTElement|4|11|
629|OldLoginID||214 OLD_LOGIN_ID_TAG|STRINGElement|64|11|
630|ANI_II_Field|ANI_II|215 ANI_II_TAG|STRINGElement|2||
631|FltMRDomainID||216 MR_DOMAIN_ID_TAG|UINTElement|4|11|
632|WEXACILClientID|FltWEXACILClientID|217 WEXA_CIL_CLIENT_ID_TAG|STRINGElement|64|11|
633|SilentMonitorStatus||218 SILENT_MONITOR_STATUS_TAG|USHORTElement|2|13|check ≤ 2, else 97; text SilentMonitorStatusName
634|RequestingDeviceID||219 REQ_DEV_ID_TAG|STRINGElement|64|14|
635|RequestingDeviceIDType||220 REQ_DEV_ID_TYPE_TAG|DeviceIDType|2|14|
636|PreCallInvokeID||221 PRE_CALL_INVOKE_ID_TAG|UINTElement|4|14|
637|EnterpriseQueueTime||222 ENTERPRISE_QUEUE_TIME_TAG|UINTElement|4|14|
638|CallReferenceID||223 CALL_REFERENCE_ID_TAG|UNSPECElement|32|14|
639|MultiLineAgentControl||224 MULTI_LINE_AGENT_CONTROL_TAG|USHORTElement|2|14|
640|ControlFlags||225 CONTROL_FLAGS_TAG|UINTElement|4|14|
641|NumPeripherals||228 NUM_PERIPHERALS_TAG|USHORTElement|2|14|
642|COCConnectionCallID|COCCallConnectionCallID|229 COC_CONNECTION_CALL_ID_TAG|UINTElement|4|14|
643|COCCallConnectionDeviceIDType||230 COC_CALL_CONNECTION_DEVICE_ID_TYPE_TAG|ConnectionDeviceIDType|2|14|
644|COCCallConnectionDeviceID||231 COC_CALL_CONNECTION_DEVICE_ID_TAG|STRINGElement|64|14|
645|CallOriginatedFrom||232 CALL_ORIGINATED_FROM_TAG|UCHARElement|1|14|
646|SetAppDataCallId|SetAppDataCallIdElement|233 SET_APPDATA_CALLID_TAG|UINTElement|4|14|
647|ClientShareKey|ClientShareKeyElement|234 CLIENT_SHARE_KEY_TAG|UINTElement|4|14|
648|GreetingType||235 GREETING_TYPE_TAG|STRINGElement|32|15|text bare
649|REMaskArray|RemaskNumMasks|236 REMASK_NUM_MASKS_TAG|USHORTElement|2|16|REMask entries; check count ≤ 10, else 25
650|member of REMaskEntry|RemaskInstrument|237 REMASK_INSTRUMENT_TAG|STRINGElement|64|16|member of each REMaskEntry
651|member of REMaskEntry|RemaskExtension|238 REMASK_EXTENSION_TAG|STRINGElement|16|16|member of each REMaskEntry
652|member of REMaskEntry|RemaskCallId|239 REMASK_CALLID_TAG|UINTElement|4|16|member of each REMaskEntry
653|REMaskFlags|RemaskFunctionFlag|240 REMASK_FUNCTION_FLAGS_TAG|MaskBits|8|16|text bit names; member of each REMaskEntry
654|REMaskCall|RemaskCallMask|241 REMASK_CALL_MASK_TAG|MaskBits|8|16|text bit names; member of each REMaskEntry
655|REMaskAgent|RemaskAgentMask|242 REMASK_AGENT_MASK_TAG|MaskBits|8|16|text bit names; member of each REMaskEntry
656|AgentTeamName||243 AGENT_TEAM_NAME_TAG|STRINGElement|33|16|
657|Direction||244 DIRECTION_TAG|UINTElement|4|16|
658|Options||245 OPTIONS_TAG|UINTElement|4|17|
659|FltMRDID||246 FLT_MRD_ID_TAG|INTElement|4|18|
660|FltMediaClassID||247 MEDIA_CLASS_ID_TAG|INTElement|4|18|
661|FltTaskLife||248 TASK_LIFE_TAG|INTElement|4|18|
662|FltTaskStartTimeout||249 TASK_START_TIMEOUT_TAG|INTElement|4|18|
663|FltMaxTaskDuration||250 MAX_TASK_DURATION_TAG|INTElement|4|18|
664|FltInterruptible||251 INTERRUPTIBLE_TAG|BOOLElement|2|18|
665|FltMaxCallsInQueue||252 MAX_CALLS_IN_QUEUE_TAG|INTElement|4|18|
666|FltMaxCallsInQueuePerCallType||253 MAX_CALLS_IN_QUEUE_PER_CALL_TYPE_TAG|INTElement|4|18|
667|FltMaxTimeInQueue||254 MAX_TIME_IN_QUEUE_TAG|INTElement|4|18|
668|InternalAgentState||255 INTERNAL_AGENT_STATE_TAG|USHORTElement|2|19|
669|SSOEnabled||257 SSO_ENABLED_TAG|USHORTElement|2|20|
670|FltTaskID|FltTaskIDElement|258 FLT_TASK_ID_TAG|TaskIDType|12|20|
671|FltZURDisposition|FltZURDispositionElement|259 FLT_ZUR_DISP_TAG|USHORTElement|2|20|
672|FltApplicationDisposition|FltApplicationDispositionElement|260 FLT_APP_DISP_TAG|USHORTElement|2|20|
673|NumMRDs||261 NUM_MRDS_TAG|USHORTElement|2|21|
674|FltAgentMRDID||262 FLT_AGENT_MRD_ID_TAG|INTElement|4|21|text N/A
675|FltAgentMRDState||263 FLT_AGENT_MRD_STATE_TAG|CTIAgentState|2|21|
676|FltPrecisionQueueID||264 FLT_PRECISION_QUEUE_ID_TAG|UINTElement|4|22|
677|FltPrecisionQueueName||265 FLT_PRECISION_QUEUE_NAME_TAG|STRINGElement|33|22|
678|MaxBeyondTaskLimit||266 MAX_BEYOND_TASK_LIMIT_TAG|UINTElement|4|22|
679|AgentDeskSettingsID||267 AGENT_DESK_SETTINGS_ID_TAG|UINTElement|4|22|
680|XferInWhileLoggedOut||268 XFER_IN_WHILE_LOGGED_OUT|BOOLElement|2|22|
681|PeripheralConfigKey||269 PERIPHERAL_CONFIG_KEY_TAG|UNSPECElement|8|22|
682|AgentDeskSettingsConfigKey||270 AGENT_DESK_SETTINGS_CONFIG_KEY_TAG|UNSPECElement|8|22|
683|ConfigPeripheralID||271 CONFIG_PERIPHERAL_ID_TAG|UINTElement|4|22|
684|DefaultAgentDeskSettingsID||272 DEFAULT_AGENT_DESK_SETTINGS_ID_TAG|UINTElement|4|22|
685|FltDeskSettingsMask||273 FLT_DESK_SETTINGS_MASK_TAG|UINTElement|4|22|
686|FltWrapUpDataIncomingMode||274 FLT_WRAP_UP_DATA_INCOMING_MODE_TAG|UINTElement|4|22|
687|FltWrapUpDataOutgoingMode||275 FLT_WRAP_UP_DATA_OUTGOING_MODE_TAG|UINTElement|4|22|
688|FltLogoutNonActivityTime||276 FLT_LOGOUT_NON_ACTIVITY_TIME_TAG|UINTElement|4|22|
689|FltQualityRecordingRate||277 FLT_QUALITY_RECORDING_RATE_TAG|UINTElement|4|22|
690|FltRingNoAnswerTime||278 FLT_RING_NO_ANSWER_TIME_TAG|UINTElement|4|22|
691|FltSilentMonitorWarningMessage||279 FLT_SILENT_MONITOR_WARNING_MESSAGE_TAG|UINTElement|4|22|
692|FltSilentMonitorAudibleIndication||280 FLT_SILENT_MONITOR_AUDIBLE_INDICATION_TAG|UINTElement|4|22|
693|FltSupervisorAssistCallMethod||281 FLT_SUPERVISOR_ASSIST_CALL_METHOD_TAG|UINTElement|4|22|
694|FltEmergencyCallMethod||282 FLT_EMERGENCY_CALL_METHOD_TAG|UINTElement|4|22|
695|FltAutoRecordOnEmergency||283 FLT_AUTO_RECORD_ON_EMERGENCY_TAG|UINTElement|4|22|
696|FltRecordingMode||284 FLT_RECORDING_MODE_TAG|UINTElement|4|22|
697|FltWorkModeTimer||285 FLT_WORK_MODE_TIMER_TAG|UINTElement|4|22|
698|FltRingNoAnswerDnId||286 FLT_RING_NO_ANSWER_DN_ID_TAG|UINTElement|4|22|
699|FltDefaultDevicePortAddress||287 FLT_DEFAULT_DEVICE_PORT_ADDRESS_TAG|STRINGElement|32|22|
700|DesktopConnectedFlag||288 DESKTOP_CONNECTED_FLAG_TAG|BOOLElement|2|23|
701|PlayToneDirection||289 PLAY_TONE_DIRECTION_TAG|USHORTElement|2|23|check ≤ 3, else 101
702|InvocationType||290 INVOCATION_TYPE_TAG|USHORTElement|2|23|check 1 or 2, else 102
703|RecorderAddress||291 RECORDER_ADDRESS_TAG|STRINGElement|64|23|
704|TerminalName||292 TERMINAL_NAME_TAG|STRINGElement|64|23|
705|MediaForkingDeviceName||293 MEDIA_FORKING_DEVICE_NAME_TAG|STRINGElement|64|23|
706|ProtocolReferenceGUID||294 PROTOCOL_REFERENCE_GUID_TAG|STRINGElement|64|23|
707|MediaForkingClusterID||295 MEDIA_FORKING_CLUSTER_ID_TAG|STRINGElement|64|23|
708|RecorderURI||296 RECORDER_URI_TAG|STRINGElement|64|23|
709|RecorderErrorMsg||297 RECORDER_ERROR_MSG_TAG|STRINGElement|64|23|
710|RecorderType||298 RECORDER_TYPE_TAG|USHORTElement|2|23|check ≤ 2, else 104
711|RecorderStatus||299 RECORDER_STATUS_TAG|USHORTElement|2|23|check ≤ 2, else 105
712|RecordingDeviceID||300 RECORDING_DEVICE_ID_TAG|STRINGElement|64|23|
713|RecordingStatus||301 RECORDING_STATUS_TAG|USHORTElement|2|23|
714|TerminalType||302 TERMINAL_TYPE_TAG|USHORTElement|2|24|
715|TerminalDeviceName||303 TERMINAL_DEVICE_NAME_TAG|STRINGElement|64|24|
716|TerminalTypeName||304 TERMINAL_TYPE_NAME_TAG|STRINGElement|100|24|
717|NumInstruments||305 NUM_INSTRUMENTS_TAG|USHORTElement|2|24|
718|FltACDSharedLineUsage|ACDSharedLineUsageElement|306 ACD_SHARED_LINE_USAGE_TAG|UINTElement|4|24|
719|FltPlayZipTone|PlayZipToneElement|307 PLAY_ZIP_TONE_TAG|UINTElement|4|24|
720|UniqueInstanceID|UniqueInstanceIDElement|308 UNIQUE_INSTANCE_ID_TAG|STRINGElement|64||check not empty, else 23
721|FltEnabledServices|FltEnabledServicesElement|309 AGENT_SERVICE_TAG|USHORTElement|2|24|
722|NumOfEnabledServices|NumOfEnabledServicesElement|310 NUM_AGENT_SERVICE_TAG|USHORTElement|2|24|
723|TessalyConfigId|TESSALYConfigIDElement|311 TESSALY_CONFIG_ID_TAG|STRINGElement|40|24|
)";

std::vector<std::string> Split(const std::string& s, const std::string& sep) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        std::size_t at = s.find(sep, start);
        out.push_back(s.substr(start, at - start));
        if (at == std::string::npos) return out;
        start = at + sep.size();
    }
}

struct GoldenRow {
    int line;
    std::vector<std::string> cells;  // 8 cells
};

std::vector<GoldenRow> GoldenRows() {
    std::vector<GoldenRow> rows;
    std::istringstream in(kGoldenRows);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty()) continue;
        rows.push_back({number, Split(line, "|")});
    }
    return rows;
}

const char* BaseName(elementdict::Base base) {
    using elementdict::Base;
    switch (base) {
        case Base::UINTElement: return "UINTElement";
        case Base::INTElement: return "INTElement";
        case Base::USHORTElement: return "USHORTElement";
        case Base::UCHARElement: return "UCHARElement";
        case Base::BOOLElement: return "BOOLElement";
        case Base::STRINGElement: return "STRINGElement";
        case Base::UNSPECElement: return "UNSPECElement";
        case Base::TaskIDType: return "TaskIDType";
        case Base::DataStructureField: return "DataStructureField";
        case Base::ECCElement: return "ECCElement";
        case Base::MaskBits: return "MaskBits";
        case Base::DeviceIDType: return "DeviceIDType";
        case Base::ConnectionDeviceIDType: return "ConnectionDeviceIDType";
        case Base::CTIAgentState: return "CTIAgentState";
        case Base::AgentID_Long: return "AgentID_Long";
    }
    return "?";
}

uint32_t Number(const std::string& s) { return static_cast<uint32_t>(std::stoul(s, nullptr, 0)); }

// A numeric rule as the document writes it: alternatives joined by ", " and " or ", each
// "A-B", "≤ N", "< N", "must be 0", "count ≤ N" or a single value.
bool RuleAccepts(const std::string& rule, uint32_t v) {
    std::string r = rule;
    for (std::size_t at; (at = r.find(" or ")) != std::string::npos;) r.replace(at, 4, ", ");
    for (const std::string& alt : Split(r, ", ")) {
        if (alt == "must be 0") {
            if (v == 0) return true;
        } else if (alt.rfind("count ≤ ", 0) == 0) {
            if (v <= Number(alt.substr(std::strlen("count ≤ ")))) return true;
        } else if (alt.rfind("≤ ", 0) == 0) {
            if (v <= Number(alt.substr(std::strlen("≤ ")))) return true;
        } else if (alt.rfind("< ", 0) == 0) {
            if (v < Number(alt.substr(2))) return true;
        } else if (alt.find('-') != std::string::npos) {
            auto ends = Split(alt, "-");
            if (Number(ends[0]) <= v && v <= Number(ends[1])) return true;
        } else if (v == Number(alt)) {
            return true;
        }
    }
    return false;
}

// Values that sit on every boundary the rules use.
std::vector<uint32_t> Probes() {
    std::vector<uint32_t> p;
    for (uint32_t v = 0; v <= 70; ++v) p.push_back(v);
    for (uint32_t v = 995; v <= 1070; ++v) p.push_back(v);
    for (uint32_t v : {0xFFu, 0x100u, 0x1FFu, 0x200u, 0x3FFu, 0x400u, 0x3FFFu, 0x4000u, 0xFFFEu,
                       0xFFFFu, 0x10000u, 0x1FFFFFu, 0x200000u, 0xFFFFFFFFu})
        p.push_back(v);
    return p;
}

const std::map<std::string, elementdict::AppendNameFn>& NameFunctions() {
    using elementdict::AppendName;
    static const std::map<std::string, elementdict::AppendNameFn> kFunctions = {
        {"AgentStateName", &AppendName<&AgentStateName>},
        {"AgentWorkModeName", &AppendName<&AgentWorkModeName>},
        {"AllocationStateName", &AppendName<&AllocationStateName>},
        {"AnswerDetectModeName", &AppendName<&AnswerDetectModeName>},
        {"AnsweringMachineName", &AppendName<&AnsweringMachineName>},
        {"CallMannerTypeName", &AppendName<&CallMannerTypeName>},
        {"CallOptionName", &AppendName<&CallOptionName>},
        {"CallPlacementTypeName", &AppendName<&CallPlacementTypeName>},
        {"ConfigAgentTypeName", &AppendName<&ConfigAgentTypeName>},
        {"ConfigDeviceTypeName", &AppendName<&ConfigDeviceTypeName>},
        {"ConfigEndStatusName", &AppendName<&ConfigEndStatusName>},
        {"ConfigKeyStatusName", &AppendName<&ConfigKeyStatusName>},
        {"ConfigRecordTypeName", &AppendName<&ConfigRecordTypeName>},
        {"ConfigTypeName", &AppendName<&ConfigTypeName>},
        {"ConsultTypeName", &AppendName<&ConsultTypeName>},
        {"DestinationCountryName", &AppendName<&DestinationCountryName>},
        {"DistributionName", &AppendName<&DistributionName>},
        {"FacilityTypeName", &AppendName<&FacilityTypeName>},
        {"LineTypeName", &AppendName<&LineTypeName>},
        {"QueryDeviceDataTypeName", &AppendName<&QueryDeviceDataTypeName>},
        {"SilentMonitorStatusName", &AppendName<&SilentMonitorStatusName>},
        {"ObjectStateName", &AppendName<&ObjectStateName>},
        {"LocalConnectionStateName", &AppendName<&LocalConnectionStateName>},
        {"CallTypeName", &AppendName<&CallTypeName>},
        {"PeripheralTypeName", &AppendName<&PeripheralTypeName>},
        {"PGStatusEventName", &AppendName<&PGStatusEventName>},
        {"EventCauseName", &AppendName<&EventCauseName>},
        {"FailureCodeName", &AppendName<&FailureCodeName>},
        {"ARMStatusName", &AppendName<&ARMStatusName>},
        {"CalledPartyDispositionName", &AppendName<&CalledPartyDispositionName>},
        {"AgentActionName", &AppendName<&AgentActionName>},
        {"AgentGreetingEventName", &AppendName<&AgentGreetingEventName>},
        {"ClassOfDeviceName", &AppendName<&ClassOfDeviceName>},
        {"ConnectionDeviceIDTypeName", &AppendName<&ConnectionDeviceIDTypeName>},
        {"TypeOfDeviceName", &AppendName<&TypeOfDeviceName>},
        {"ConfigInformationText", &AppendName<&ConfigInformationText>},
        {"PGStatusText", &AppendName<&PGStatusText>},
        {"StatusCodeName", &AppendName<&StatusCodeName>},
    };
    return kFunctions;
}

using elementdict::CheckKind;
using elementdict::Special;
using elementdict::TextKind;

struct Expected {
    CheckKind checkKind = CheckKind::None;
    std::string rule;  // numeric rule text
    uint32_t code = 0;
    TextKind textKind = TextKind::None;
    std::string textFunction;
    Special special = Special::None;
};

Expected ReadBehaviour(const std::string& behaviour) {
    static const std::map<std::string, TextKind> kTexts = {
        {"text hex", TextKind::Hex},          {"text N/A", TextKind::NA},
        {"text N/A at 255", TextKind::NA255}, {"text time stamp", TextKind::TimeStamp},
        {"text bare", TextKind::Bare},        {"text bit names", TextKind::BitNames}};
    static const std::vector<std::pair<std::string, Special>> kSpecials = {
        {"encoding and checks by version", Special::ByVersion},
        {"never traced", Special::NeverTraced},
        {"own trace flag", Special::OwnTraceFlag},
        {"built present with 0", Special::BuiltZero},
        {"always 8 bytes", Special::FixedBytes},
        {"family base", Special::FamilyBase},
        {"REMask entries", Special::REMaskArray},
        {"member of each REMaskEntry", Special::REMaskMember},
    };
    Expected e;
    if (behaviour.empty()) return e;
    for (const std::string& part : Split(behaviour, "; ")) {
        if (part.rfind("check ", 0) == 0 && part.find(", else ") != std::string::npos) {
            std::size_t at = part.rfind(", else ");
            std::string rule = part.substr(6, at - 6);
            e.code = Number(part.substr(at + 7));
            if (rule == "not empty")
                e.checkKind = CheckKind::NotEmpty;
            else if (rule == "digits only")
                e.checkKind = CheckKind::DigitsOnly;
            else
                e.rule = rule, e.checkKind = CheckKind::Range;  // any numeric kind
        } else if (part.rfind("REMask entries", 0) == 0) {
            // "REMask entries; check count ..." arrives split in two parts.
            e.special = Special::REMaskArray;
        } else if (kTexts.count(part)) {
            e.textKind = kTexts.at(part);
        } else if (part.rfind("text ", 0) == 0) {
            e.textKind = TextKind::Name;
            e.textFunction = part.substr(5);
        } else {
            bool known = false;
            for (const auto& [key, special] : kSpecials)
                if (part.find(key) != std::string::npos) e.special = special, known = true;
            // Notes carried by the row's other columns or by its base.
            for (const char* note : {"2-byte length in every version", "structured",
                                     "element id 499, not 504", "same element id as",
                                     "tag without a name"})
                if (part.find(note) != std::string::npos) known = true;
            EXPECT_TRUE(known) << "unread behaviour: " << part;
        }
    }
    return e;
}

// The value rule that production runs for row R: the field class's own check.
template <std::size_t R>
bool NumberRule(uint32_t v) {
    constexpr CheckKind kind = elementdict::kRows[R].check.kind;
    if constexpr (kind == CheckKind::Range || kind == CheckKind::RangeOrNone ||
                  kind == CheckKind::EventCause) {
        return Field<static_cast<int>(R)>::Passes(v);
    } else {
        return true;
    }
}
template <std::size_t R>
bool TextRule(std::string_view s) {
    constexpr CheckKind kind = elementdict::kRows[R].check.kind;
    if constexpr (kind == CheckKind::NotEmpty || kind == CheckKind::DigitsOnly) {
        return Field<static_cast<int>(R)>::PassesText(s);
    } else {
        return true;
    }
}
struct RowRules {
    bool (*number)(uint32_t);
    bool (*text)(std::string_view);
};
template <std::size_t... R>
constexpr std::array<RowRules, sizeof...(R)> RulesOf(std::index_sequence<R...>) {
    return {RowRules{&NumberRule<R>, &TextRule<R>}...};
}
constexpr auto kProductionRules = RulesOf(std::make_index_sequence<elementdict::kRowCount>());

TEST(ElementDictionary, EveryRowMatchesTheDocumentTable) {
    const auto golden = GoldenRows();
    ASSERT_EQ(golden.size(), elementdict::kRowCount);
    const auto probes = Probes();
    for (std::size_t i = 0; i < golden.size(); ++i) {
        const auto& g = golden[i].cells;
        ASSERT_EQ(g.size(), 8u) << "golden line " << golden[i].line;
        const elementdict::Row& row = elementdict::kRows[i];
        SCOPED_TRACE("element " + g[0] + " " + g[1]);

        EXPECT_EQ(row.id, Number(g[0]));
        if (g[1].rfind("member of ", 0) == 0) {
            EXPECT_EQ(row.className, nullptr);
        } else {
            ASSERT_NE(row.className, nullptr);
            EXPECT_STREQ(row.className, g[1].c_str());
        }
        EXPECT_STREQ(row.traceName, (g[2].empty() ? g[1] : g[2]).c_str());

        // Tag column: "N NAME", "N" (no name), or two tags of which the row's own is last.
        uint32_t tag = 0;
        std::string tagName;
        if (!g[3].empty()) {
            std::string own = Split(g[3], ", ").back();
            auto parts = Split(own, " ");
            tag = Number(parts[0]);
            if (parts.size() > 1) tagName = parts[1];
        }
        EXPECT_EQ(row.tag, tag);
        EXPECT_STREQ(row.tagName, tagName.c_str());
        EXPECT_EQ(row.tag != 0, row.id >= elementdict::kFirstFloatingId);
        // The name tables come from the same rows.
        EXPECT_EQ(ElementTag(row.id), tag);
        EXPECT_STREQ(ElementName(row.id), row.traceName);
        if (tag != 0) {
            EXPECT_STREQ(TagName(static_cast<int32_t>(tag)),
                         tagName.empty() ? "*INVALID TAG*" : tagName.c_str());
            EXPECT_EQ(TagElement(static_cast<int32_t>(tag)), row.id);
        }

        EXPECT_STREQ(BaseName(row.base), g[4].c_str());
        EXPECT_EQ(row.bytes, Number(g[5]));
        EXPECT_EQ(row.from, g[6].empty() ? 2u : Number(g[6]));

        const Expected e = ReadBehaviour(g[7]);
        EXPECT_EQ(row.check.code, e.code);
        if (e.checkKind == CheckKind::Range) {
            EXPECT_TRUE(row.check.kind == CheckKind::Range ||
                        row.check.kind == CheckKind::RangeOrNone ||
                        row.check.kind == CheckKind::EventCause);
            for (uint32_t v : probes)
                EXPECT_EQ(kProductionRules[i].number(v), RuleAccepts(e.rule, v))
                    << "rule \"" << e.rule << "\" value " << v;
        } else {
            EXPECT_EQ(row.check.kind, e.checkKind);
            for (const char* text : {"", "0123456789", "12a", " 7"}) {
                const std::string_view t = text;
                bool expected = true;
                if (e.checkKind == CheckKind::NotEmpty) expected = !t.empty();
                if (e.checkKind == CheckKind::DigitsOnly) {
                    expected = t.find_first_not_of("0123456789") == std::string_view::npos;
                }
                EXPECT_EQ(kProductionRules[i].text(t), expected) << "text \"" << t << "\"";
            }
        }
        EXPECT_EQ(row.text.kind, e.textKind);
        if (e.textKind == TextKind::Name) {
            auto fn = NameFunctions().find(e.textFunction);
            ASSERT_NE(fn, NameFunctions().end()) << e.textFunction;
            EXPECT_EQ(row.text.name, fn->second);
        } else {
            EXPECT_EQ(row.text.name, nullptr);
        }
        EXPECT_EQ(row.special, e.special);
    }
}

TEST(ElementDictionary, CountsAndIdsWithoutClass) {
    std::size_t fixed = 0, floating = 0;
    std::set<uint32_t> ids;
    for (const auto& row : elementdict::kRows) {
        (row.id < elementdict::kFirstFloatingId ? fixed : floating) += 1;
        ids.insert(row.id);
    }
    EXPECT_EQ(elementdict::kRowCount, 702u);
    EXPECT_EQ(fixed, 429u);
    EXPECT_EQ(floating, 273u);
    // Fixed ids 1..431 all have a class except 73 and 383.
    for (uint32_t id = 1; id < elementdict::kFirstFloatingId; ++id)
        EXPECT_EQ(ids.count(id), (id == 73 || id == 383) ? 0u : 1u) << id;
    for (uint32_t id : {504u, 555u, 589u, 591u, 618u}) {
        EXPECT_EQ(ids.count(id), 0u) << id;
        EXPECT_EQ(elementdict::FindRow(id), nullptr) << id;
    }
}

TEST(ElementDictionary, Lookups) {
    // An id with two classes finds the first; class names find their own row.
    ASSERT_NE(elementdict::FindRow(499), nullptr);
    EXPECT_STREQ(elementdict::FindRow(499)->className, "CallDeviceConnState");
    const auto* callState = elementdict::FindRowByClass("CallState");
    ASSERT_NE(callState, nullptr);
    EXPECT_EQ(callState->id, 499);
    EXPECT_EQ(callState->tag, 61);
    const auto* atc = elementdict::FindRowByClass("AtcAgentID_Long");
    ASSERT_NE(atc, nullptr);
    EXPECT_EQ(atc->id, 611);
    EXPECT_EQ(elementdict::FindRow(1)->className, std::string("InvokeID"));
    EXPECT_EQ(elementdict::FindRow(723)->id, 723);
    for (uint32_t id : {0u, 724u, 0xFFFFFFFFu}) EXPECT_EQ(elementdict::FindRow(id), nullptr);
    EXPECT_EQ(elementdict::FindRowByClass("NoSuchClass"), nullptr);
    EXPECT_EQ(elementdict::FindRowByClass(nullptr), nullptr);
}

// Properties the codec relies on beyond single rows.
TEST(ElementDictionary, WidthsTheCodecReliesOn) {
    // Every boolean field exists from version 3 on. Below version 20 a floating length is
    // one byte: only LoginName (cut on the wire) may exceed 255, raw fields stay far below.
    for (const auto& row : elementdict::kRows) {
        if (row.base == elementdict::Base::BOOLElement) {
            EXPECT_GE(row.from, 3) << row.id;
        }
        if (row.base == elementdict::Base::STRINGElement && row.bytes > 255) {
            EXPECT_STREQ(row.className, "LoginName");
        }
        if (row.base == elementdict::Base::UNSPECElement && row.tag != 0) {
            EXPECT_LE(row.bytes, 131) << row.id;
        }
    }
}

}  // namespace
