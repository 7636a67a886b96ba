/*
 * Lifecycle of the payment-terminal service.
 *
 * Call startRynService once the application's callbacks are registered; it
 * reads the activated-terminal file (~/.CalvorinKestova/KestovaLinux.txt)
 * and brings up the serial link or the IP-terminal listener. All functions
 * return 1 on success and 0 on failure; failures are written to the log.
 * Start, stop and status are meant for the application's own threads: a
 * stop requested from a thread the service runs (a callback) is refused.
 */
#ifndef RYN_SERVICE_H
#define RYN_SERVICE_H

#ifdef __cplusplus
extern "C" {
#endif

/* 1: started; 0: not started (already running, or no service container). */
int startRynService(void);
/* 1: was running and is now stopped; 0: was not running. Waits for
 * operations in flight to finish before the services are deleted. */
int stopRynService(void);
/* 1: *status is 1 when the terminal is connected, else 0;
 * 0: the service is not active (*status untouched). */
int serverStatus(char *status);
/* Creates the services without starting the link; always returns 0. */
int PDA_ManagerInitialize(void);
/* Serial link: the period of the network pump, 1000 to 10000 microseconds
 * (whole milliseconds are used). 1: set; 0: out of range, nothing changed. */
int setExchangeWaitTime1us(int microseconds);

/* Bridges added at run time (serial link only; they end when the service
 * stops). direction 0: host applications connect to `port` on this
 * computer and reach `port` on the terminal; direction 1: the terminal
 * connects to `port` on its link and reaches 127.0.0.1:`port`.
 * addDynamicBridge listens on every interface, addDynamicBridgeLocal on the
 * loopback only. Results: 0 running (also, doing nothing, for an IP
 * terminal); -1 twelve bridges exist already; -2 a bridge with this port
 * and direction exists; -3 its thread could not be started or the link is
 * stopping; -4 bad direction or port, or not listening yet after 100 ms
 * (it keeps trying); -5 the service is not running. */
int addDynamicBridge(int port, int direction);
int addDynamicBridgeLocal(int port, int direction);

#ifdef __cplusplus
}
#endif

#endif
