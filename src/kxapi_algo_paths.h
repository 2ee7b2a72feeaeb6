// Where the camera keeps its algorithm models. Each source file that includes this header gets a
// copy of its own (internal linkage), built when the library is loaded and destroyed, in reverse
// order, when it is unloaded. Nothing in the library reads them.
#ifndef KXAPI_ALGO_PATHS_H
#define KXAPI_ALGO_PATHS_H

#include <string>

// Model list files.
static const std::string g_strFaceRecListPath = "/usr/alg_model/face_rec_list.cfg";
static const std::string g_strQlenCrowdCntListPath = "/usr/alg_model/Qlen_CrowdCnt_list.cfg";
static const std::string g_strVhdListPath = "/usr/alg_model/vhd_list.cfg";
static const std::string g_strVhdParallelListPath = "/usr/alg_model/vhd_parallel_list.cfg";
static const std::string g_strVhdYtnListPath = "/usr/alg_model/vhd_ytn_list.cfg";
static const std::string g_strFacedtDlListPath = "/usr/alg_model/facedt_dl_list.cfg";
static const std::string g_strFacedtDlParallelListPath = "/usr/alg_model/facedt_dl_parallel_list.cfg";
static const std::string g_strFacedtDlCompactListPath = "/usr/alg_model/facedt_dl_compact_list.cfg";
static const std::string g_strBehListPath = "/usr/alg_model/beh_list.cfg";
static const std::string g_strOmniListPath = "/usr/alg_model/omni_list.cfg";
static const std::string g_strVhdOmniListPath = "/usr/alg_model/vhd_omni_list.cfg";
static const std::string g_strFacedlOmniListPath = "/usr/alg_model/facedl_omni_list.cfg";
static const std::string g_strBehOmniListPath = "/usr/alg_model/beh_omni_list.cfg";
static const std::string g_strComplexBehListPath = "/usr/alg_model/complex_beh_list.cfg";

// Model directories; only the first and the last end in a slash.
static const std::string g_strAlgModelLibDir = "/usr/alg_model/lib/";
static const std::string g_strItsLibDir = "/usr/alg_model/kx_its/lib";
static const std::string g_strItsVhdfaceDir = "/usr/alg_model/kx_its/vhdface/";

#endif
