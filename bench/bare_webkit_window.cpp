// A bare WebKitGTK window, the peer of the host's first-paint benchmark: one top-level window of
// the skin window's size with one web view loading the URI it is given, and nothing else.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    if (argc != 2) {
        fprintf(stderr, "usage: %s URI\n", argv[0]);
        return 2;
    }
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 760, 560);
    gtk_window_set_title(GTK_WINDOW(window), "First Paint");
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    GtkWidget* view = webkit_web_view_new();
    gtk_container_add(GTK_CONTAINER(window), view);
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), argv[1]);
    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}
