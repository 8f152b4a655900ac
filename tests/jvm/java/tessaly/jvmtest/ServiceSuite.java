package tessaly.jvmtest;

import java.io.IOException;
import java.nio.file.Path;

import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeEach;

import tessaly.service.ReferenceService;

/**
 * A suite of calls through the built library (system property tessaly.library) against a reference service
 * on 127.0.0.1. The subclass's @BeforeAll starts it with startService; it is closed after the last test,
 * and cleared of answers set and requests recorded before each test.
 */
abstract class ServiceSuite {
    static ReferenceService service;
    /** The service's base URL, "http://127.0.0.1:PORT". */
    static String base;

    /** Loads the library and starts the service, serving meshes from models (null: none). */
    static void startService(Path models) throws IOException {
        System.load(System.getProperty("tessaly.library"));
        service = ReferenceService.start(models);
        base = service.baseUrl();
    }

    @AfterAll
    static void stopService() {
        service.close();
    }

    @BeforeEach
    void clearService() {
        service.clearAnswers();
        service.clearRequests();
    }
}
